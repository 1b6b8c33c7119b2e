/* Plays com0com's setupc.exe for the tests: the same command line and list output, the
 * pairs kept in pairs.txt beside the program, every call appended to calls.txt there.
 *   setupc [--silent] [--output FILE] install PortName=A PortName=B | remove N | list
 * Like the real one it refuses to run outside its own folder (it would not find the
 * driver's files there). */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_PAIRS 64

static char names[MAX_PAIRS][2][40]; /* pair n is used when names[n][0] is not empty */
static char folder[MAX_PATH];

/* FILE in the program's own folder. */
static FILE *openBeside(const char *file, const char *mode)
{
    char p[MAX_PATH];
    snprintf(p, sizeof p, "%s\\%s", folder, file);
    return fopen(p, mode);
}

static void load(void)
{
    FILE *f = openBeside("pairs.txt", "r");
    int n;
    while (f && fscanf(f, "%d", &n) == 1 && n >= 0 && n < MAX_PAIRS
           && fscanf(f, "%39s %39s", names[n][0], names[n][1]) == 2) {
    }
    if (f)
        fclose(f);
}

static void save(void)
{
    FILE *f = openBeside("pairs.txt", "w");
    for (int n = 0; f && n < MAX_PAIRS; ++n)
        if (names[n][0][0])
            fprintf(f, "%d %s %s\n", n, names[n][0], names[n][1]);
    if (f)
        fclose(f);
}

static void show(FILE *out, int n)
{
    fprintf(out, "       CNCA%d PortName=%s,EmuBR=yes\n", n, names[n][0]);
    fprintf(out, "       CNCB%d PortName=%s\n", n, names[n][1]);
}

int main(int argc, char **argv)
{
    char cwd[MAX_PATH];
    FILE *out = stdout, *log;
    int i = 1, n;
    GetModuleFileNameA(NULL, folder, sizeof folder);
    *strrchr(folder, '\\') = '\0';
    GetCurrentDirectoryA(sizeof cwd, cwd);

    log = openBeside("calls.txt", "a");
    for (n = 1; log && n < argc; ++n)
        fprintf(log, n + 1 < argc ? "%s " : "%s\n", argv[n]);
    if (log)
        fclose(log);

    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i)
        if (strcmp(argv[i], "--output") == 0 && i + 1 < argc && !(out = fopen(argv[++i], "w")))
            return 3;
    if (_stricmp(cwd, folder) != 0) {
        fprintf(out, "setupc must run in %s, not %s\n", folder, cwd);
        return 4;
    }
    load();
    if (i < argc && strcmp(argv[i], "list") == 0) {
        for (n = 0; n < MAX_PAIRS; ++n)
            if (names[n][0][0])
                show(out, n);
    } else if (i + 2 < argc && strcmp(argv[i], "install") == 0 && strncmp(argv[i + 1], "PortName=", 9) == 0
               && strncmp(argv[i + 2], "PortName=", 9) == 0) {
        for (n = 0; n < MAX_PAIRS && names[n][0][0];)
            ++n;
        if (n == MAX_PAIRS)
            return 5;
        snprintf(names[n][0], sizeof names[n][0], "%s", argv[i + 1] + 9);
        snprintf(names[n][1], sizeof names[n][1], "%s", argv[i + 2] + 9);
        show(out, n);
        save();
    } else if (i + 1 < argc && strcmp(argv[i], "remove") == 0) {
        n = atoi(argv[i + 1]);
        if (n < 0 || n >= MAX_PAIRS || !names[n][0][0])
            return 6;
        names[n][0][0] = '\0';
        save();
        fprintf(out, "Removed CNCA%d CNCB%d\n", n, n);
    } else {
        fprintf(out, "bad command line\n");
        return 7;
    }
    if (out != stdout)
        fclose(out);
    return 0;
}
