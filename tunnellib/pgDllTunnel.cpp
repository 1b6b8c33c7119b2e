// The exported C functions: each one a thin, exception-proof door into TunnelService.
#include "tunnel/pgDllTunnel.h"

#include "tunnellib/TunnelService.h"

using tunnellib::TunnelService;

namespace {

template <class F>
int guarded(F f)
{
    try {
        return f();
    } catch (...) {
        return TUNNEL_E_INTERNAL;
    }
}

} // namespace

extern "C" {

TUNNEL_API int TUNNEL_CALL TunnelSetCallback(TunnelCallback callback)
{
    return guarded([&] {
        TunnelService::instance().setCallback(callback);
        return TUNNEL_OK;
    });
}

TUNNEL_API int TUNNEL_CALL TunnelInit(const char *configFile, char *sysInfo, int sysInfoSize)
{
    return guarded([&] { return TunnelService::instance().init(configFile, sysInfo, sysInfoSize); });
}

TUNNEL_API int TUNNEL_CALL TunnelStart(const char *configFile, const char *, int, int)
{
    return guarded([&] { return TunnelService::instance().start(configFile); });
}

TUNNEL_API int TUNNEL_CALL TunnelGetState(void *, int *state)
{
    return guarded([&] {
        const int s = TunnelService::instance().state();
        if (state)
            *state = s;
        return s;
    });
}

TUNNEL_API int TUNNEL_CALL TunnelAddConnect(const char *, const char *deviceId, int, int, const char *remote,
                                            const char *local, char *errorText)
{
    return guarded([&] { return TunnelService::instance().addConnect(deviceId, remote, local, errorText); });
}

TUNNEL_API int TUNNEL_CALL TunnelDelConnect(const char *, const char *deviceId, int, int, const char *remote,
                                            const char *local)
{
    return guarded([&] { return TunnelService::instance().delConnect(deviceId, remote, local); });
}

TUNNEL_API int TUNNEL_CALL TunnelDelListen(const char *, const char *local)
{
    return guarded([&] { return TunnelService::instance().delListen(local); });
}

TUNNEL_API int TUNNEL_CALL TunnelStop(void)
{
    return guarded([] { return TunnelService::instance().stop(); });
}

} // extern "C"
