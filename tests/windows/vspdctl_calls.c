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

int main(int argc, char **argv)
{
    HMODULE h = LoadLibraryA("vspdctl");
    bool (*create)(const char *, const char *) = h ? (void *)GetProcAddress(h, "CreatePair") : NULL;
    bool (*remove)(const char *) = h ? (void *)GetProcAddress(h, "DeletePair") : NULL;
    const char *(*lastError)(void) = h ? (void *)GetProcAddress(h, "LastPairError") : NULL;
    int i = 1;
    if (!create || !remove || !lastError) {
        printf("vspdctl.dll, or its CreatePair, DeletePair or LastPairError, is missing (error %lu)\n", GetLastError());
        return 2;
    }
    while (i < argc) {
        bool ok;
        if (strcmp(argv[i], "create") == 0 && i + 2 < argc) {
            ok = create(argv[i + 1], argv[i + 2]);
            printf("create %s %s: %d", argv[i + 1], argv[i + 2], ok);
            i += 3;
        } else if (strcmp(argv[i], "delete") == 0 && i + 1 < argc) {
            ok = remove(argv[i + 1]);
            printf("delete %s: %d", argv[i + 1], ok);
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
