/* Calls vspdctl.dll as the tool does (loaded at run time, by name) and prints each answer:
 *
 *   vspdctl_calls create A B | delete A ...
 *
 * prints "create A B: 1" or "create A B: 0 (why)" per call, in one process, so that the
 * library's memory of the pairs it made holds across the calls. Exits 2 on a bad command
 * line or a missing library or call, else 0. */
#include <windows.h>

#include <stdbool.h>
#include <stdio.h>
#include <string.h>

typedef bool (*CreateFn)(const char *, const char *);
typedef bool (*DeleteFn)(const char *);
typedef const char *(*ErrorFn)(void);

int main(int argc, char **argv)
{
    HMODULE h = LoadLibraryA("vspdctl");
    CreateFn create;
    DeleteFn remove;
    ErrorFn lastError;
    int i = 1;
    if (!h) {
        printf("LoadLibrary(vspdctl): error %lu\n", GetLastError());
        return 2;
    }
    create = (CreateFn)(void (*)(void))GetProcAddress(h, "CreatePair");
    remove = (DeleteFn)(void (*)(void))GetProcAddress(h, "DeletePair");
    lastError = (ErrorFn)(void (*)(void))GetProcAddress(h, "LastPairError");
    if (!create || !remove || !lastError) {
        printf("vspdctl.dll lacks CreatePair, DeletePair or LastPairError\n");
        return 2;
    }
    while (i < argc) {
        bool ok;
        if (strcmp(argv[i], "create") == 0 && i + 2 < argc) {
            ok = create(argv[i + 1], argv[i + 2]);
            printf("create %s %s: %d", argv[i + 1], argv[i + 2], ok ? 1 : 0);
            i += 3;
        } else if (strcmp(argv[i], "delete") == 0 && i + 1 < argc) {
            ok = remove(argv[i + 1]);
            printf("delete %s: %d", argv[i + 1], ok ? 1 : 0);
            i += 2;
        } else {
            printf("usage: vspdctl_calls create A B | delete A ...\n");
            return 2;
        }
        if (!ok)
            printf(" (%s)", lastError());
        printf("\n");
    }
    return 0;
}
