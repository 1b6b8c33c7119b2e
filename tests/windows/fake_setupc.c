/* Plays com0com's setupc.exe for the tests: the same command line and list output, the
 * pairs kept in pairs.txt beside the program, every call appended to calls.txt there.
 *
 *   setupc [--silent] [--output FILE] install PortName=A PortName=B | remove N | list
 *
 * Like the real one it refuses to run outside its own folder (it would not find the
 * driver's files there). */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_PAIRS 64

static char names[MAX_PAIRS][2][40];
static int used[MAX_PAIRS];
static char folder[MAX_PATH];

static void path(char *out, const char *file)
{
    snprintf(out, MAX_PATH, "%s\\%s", folder, file);
}

static void load(void)
{
    char p[MAX_PATH];
    FILE *f;
    int n;
    char a[40], b[40];
    path(p, "pairs.txt");
    f = fopen(p, "r");
    if (!f)
        return;
    while (fscanf(f, "%d %39s %39s", &n, a, b) == 3)
        if (n >= 0 && n < MAX_PAIRS) {
            used[n] = 1;
            strcpy(names[n][0], a);
            strcpy(names[n][1], b);
        }
    fclose(f);
}

static void save(void)
{
    char p[MAX_PATH];
    FILE *f;
    int n;
    path(p, "pairs.txt");
    f = fopen(p, "w");
    if (!f)
        return;
    for (n = 0; n < MAX_PAIRS; ++n)
        if (used[n])
            fprintf(f, "%d %s %s\n", n, names[n][0], names[n][1]);
    fclose(f);
}

static void show(FILE *out, int n)
{
    fprintf(out, "       CNCA%d PortName=%s,EmuBR=yes\n", n, names[n][0]);
    fprintf(out, "       CNCB%d PortName=%s\n", n, names[n][1]);
}

int main(int argc, char **argv)
{
    char cwd[MAX_PATH], p[MAX_PATH];
    FILE *out = stdout, *log;
    int i = 1, n;
    GetModuleFileNameA(NULL, folder, sizeof folder);
    *strrchr(folder, '\\') = '\0';
    GetCurrentDirectoryA(sizeof cwd, cwd);

    path(p, "calls.txt");
    log = fopen(p, "a");
    for (n = 1; log && n < argc; ++n)
        fprintf(log, n + 1 < argc ? "%s " : "%s\n", argv[n]);
    if (log)
        fclose(log);

    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
        if (strcmp(argv[i], "--output") == 0 && i + 1 < argc) {
            out = fopen(argv[++i], "w");
            if (!out)
                return 3;
        }
    }
    if (_stricmp(cwd, folder) != 0) {
        fprintf(out, "setupc must run in %s, not %s\n", folder, cwd);
        return 4;
    }
    load();
    if (i < argc && strcmp(argv[i], "list") == 0) {
        for (n = 0; n < MAX_PAIRS; ++n)
            if (used[n])
                show(out, n);
    } else if (i + 2 < argc && strcmp(argv[i], "install") == 0 && strncmp(argv[i + 1], "PortName=", 9) == 0
               && strncmp(argv[i + 2], "PortName=", 9) == 0) {
        for (n = 0; n < MAX_PAIRS && used[n]; ++n) {
        }
        if (n == MAX_PAIRS)
            return 5;
        used[n] = 1;
        snprintf(names[n][0], sizeof names[n][0], "%s", argv[i + 1] + 9);
        snprintf(names[n][1], sizeof names[n][1], "%s", argv[i + 2] + 9);
        show(out, n);
        save();
    } else if (i + 1 < argc && strcmp(argv[i], "remove") == 0) {
        n = atoi(argv[i + 1]);
        if (n < 0 || n >= MAX_PAIRS || !used[n])
            return 6;
        used[n] = 0;
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
