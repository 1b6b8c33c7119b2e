#include "vserial/vspdctl.h"

#include "vserial/PairRegistry.h"

// Nothing may escape into a C caller: any failure, memory included, is a false result.

bool CreatePair(const char *first, const char *second)
{
    try {
        return vserial::PairRegistry::instance().create(first, second);
    } catch (...) {
        return false;
    }
}

bool DeletePair(const char *port)
{
    try {
        return vserial::PairRegistry::instance().remove(port);
    } catch (...) {
        return false;
    }
}
