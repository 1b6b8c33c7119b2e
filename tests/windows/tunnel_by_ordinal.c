/* pgDllTunnel.dll in a foreign Windows host: loaded with LoadLibrary, its calls bound by
 * ordinal alone, data moved through a forwarding, and the three ways a host ends with it:
 *   tunnel_by_ordinal full|exit|unload CONFIG TOKEN SN REMOTE LOCAL
 * full: every call from the first to TunnelStop and FreeLibrary (the answers that are the
 * same on every system are test_tunnellib's); exit: returns from main with the tunnel and a
 * stream open (no TunnelStop); unload: FreeLibrary with the tunnel running, which must stay
 * loaded. Prints one line per failed check and a summary; exits 1 on any failure. */
#include <winsock2.h>
#include <windows.h>

#include "tunnel/pgDllTunnel.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The header's declarations give the calls' types; the host binds them by ordinal. */
static __typeof__(&TunnelInit) pInit;
static __typeof__(&TunnelStart) pStart;
static __typeof__(&TunnelAddConnect) pAdd;
static __typeof__(&TunnelDelConnect) pDel;
static __typeof__(&TunnelDelListen) pDelListen;
static __typeof__(&TunnelGetState) pState;
static __typeof__(&TunnelSetCallback) pSetCallback;
static __typeof__(&TunnelStop) pStop;

static const char *config, *sn, *remote, *local; /* from the command line */
static char info[256], text[TUNNEL_ERROR_TEXT_SIZE] = "stale";
static int checks = 0, failures = 0;
static volatile LONG notified = -1;

static void expect(int ok, const char *what)
{
    ++checks;
    failures += !ok;
    if (!ok)
        printf("FAIL: %s\n", what);
}

static void expectCode(int got, int want, const char *what)
{
    char text[200];
    snprintf(text, sizeof text, "%s: got %d, want %d", what, got, want);
    expect(got == want, text);
}

static void TUNNEL_CALL notify(int state)
{
    InterlockedExchange(&notified, state);
}

/* The ordinal is the contract; the name, where exported, must be the same function. */
static FARPROC bindCall(HMODULE h, WORD ordinal, const char *name)
{
    FARPROC byOrdinal = GetProcAddress(h, MAKEINTRESOURCEA(ordinal));
    char text[120];
    snprintf(text, sizeof text, "ordinal %u is %s", (unsigned)ordinal, name);
    expect(byOrdinal != NULL && byOrdinal == GetProcAddress(h, name), text);
    return byOrdinal;
}

#define BIND(p, ordinal, name) ((p) = (__typeof__(p))(void (*)(void))bindCall(h, ordinal, name))

static int bindAll(HMODULE h)
{
    BIND(pInit, 1, "TunnelInit");
    BIND(pStart, 2, "TunnelStart");
    BIND(pAdd, 12, "TunnelAddConnect");
    BIND(pDel, 13, "TunnelDelConnect");
    BIND(pDelListen, 15, "TunnelDelListen");
    BIND(pState, 21, "TunnelGetState");
    BIND(pSetCallback, 23, "TunnelSetCallback");
    BIND(pStop, 24, "TunnelStop");
    return pInit && pStart && pAdd && pDel && pDelListen && pState && pSetCallback && pStop;
}

/* A connection to `local` (127.0.0.1:PORT) whose reads give up after 20 s: a lost byte must
 * fail the test, not hang it. */
static SOCKET connectLocal(void)
{
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons((u_short)atoi(strrchr(local, ':') + 1))};
    DWORD timeout = 20000;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char *)&timeout, sizeof timeout);
    if (s != INVALID_SOCKET && connect(s, (struct sockaddr *)&a, sizeof a) != 0) {
        closesocket(s);
        s = INVALID_SOCKET;
    }
    return s;
}

/* Sends `total` bytes in rounds and reads each round's echo back before the next. */
static int echoes(SOCKET s, int total)
{
    static char out[16384], in[16384];
    for (int sent = 0, round; sent < total; sent += round) {
        round = total - sent < (int)sizeof out ? total - sent : (int)sizeof out;
        for (int i = 0; i < round; ++i)
            out[i] = (char)((sent + i) * 7 + 3);
        if (send(s, out, round, 0) != round)
            return 0;
        for (int got = 0, n; got < round; got += n)
            if ((n = recv(s, in + got, round - got, 0)) <= 0)
                return 0;
        if (memcmp(in, out, (size_t)round) != 0)
            return 0;
    }
    return 1;
}

static int listening(void)
{
    SOCKET s = connectLocal();
    return s != INVALID_SOCKET && closesocket(s) == 0;
}

static int startTunnel(void)
{
    expectCode(pSetCallback(notify), TUNNEL_OK, "TunnelSetCallback");
    expectCode(pInit(config, info, (int)sizeof info), TUNNEL_OK, "TunnelInit");
    expectCode(pStart(config, info, 0, 0), TUNNEL_OK, "TunnelStart");
    expectCode(pAdd("", sn, 0, 0, remote, local, text), TUNNEL_OK, "TunnelAddConnect");
    return failures == 0;
}

/* After startTunnel, every further call up to TunnelStop and FreeLibrary. */
static void full(HMODULE h, const char *token)
{
    int state = -1;
    SOCKET s;

    expect(text[0] == '\0', "no error text on success");
    expect(strstr(info, "relay=127.0.0.1:") != NULL, "sysInfo names the relay");
    expect(strstr(info, token) == NULL, "sysInfo never carries the token");
    expectCode(pState(NULL, &state), TUNNEL_OK, "TunnelGetState when up");
    expectCode(state, TUNNEL_OK, "state when up");
    expectCode((int)notified, TUNNEL_OK, "the callback heard the link come up");
    expectCode(pAdd("", sn, 0, 0, remote, "nonsense", text), TUNNEL_E_BAD_ADDRESS, "TunnelAddConnect, bad local");
    expect(text[0] != '\0', "a failed TunnelAddConnect says why");

    s = connectLocal();
    expect(s != INVALID_SOCKET && echoes(s, 1 << 20), "1 MiB through the forwarding comes back intact");
    closesocket(s);

    expectCode(pDel("", sn, 0, 0, remote, local), TUNNEL_OK, "TunnelDelConnect");
    expect(!listening(), "no listener after TunnelDelConnect");
    expectCode(pAdd("", sn, 0, 0, remote, local, text), TUNNEL_OK, "TunnelAddConnect again");
    expectCode(pDelListen("", local), TUNNEL_OK, "TunnelDelListen");

    expectCode(pAdd("", sn, 0, 0, remote, local, text), TUNNEL_OK, "TunnelAddConnect before stop");
    s = connectLocal();
    expect(s != INVALID_SOCKET && echoes(s, 1024), "a stream open across TunnelStop");
    expectCode(pStop(), TUNNEL_OK, "TunnelStop");
    expect(!listening(), "TunnelStop closed the listener");
    /* Closed by the stop, not left open with nobody serving it (the read is bounded). */
    expect(s != INVALID_SOCKET && recv(s, text, 1, 0) <= 0 && WSAGetLastError() != WSAETIMEDOUT,
           "TunnelStop closed the open stream");
    closesocket(s);

    /* Asio's helper threads outlive the stop: the library must not let itself be unmapped. */
    FreeLibrary(h);
    expect(GetModuleHandleA("pgDllTunnel.dll") != NULL, "the started library stays loaded after FreeLibrary");
}

int main(int argc, char **argv)
{
    WSADATA wsa;
    const char *mode = argc == 7 ? argv[1] : "";
    if (strcmp(mode, "full") != 0 && strcmp(mode, "exit") != 0 && strcmp(mode, "unload") != 0) {
        fprintf(stderr, "usage: tunnel_by_ordinal full|exit|unload CONFIG TOKEN SN REMOTE LOCAL\n");
        return 2;
    }
    config = argv[2], sn = argv[4], remote = argv[5], local = argv[6];
    setvbuf(stdout, NULL, _IONBF, 0);
    WSAStartup(MAKEWORD(2, 2), &wsa);
    HMODULE h = LoadLibraryA("pgDllTunnel.dll");
    if (!h) {
        printf("FAIL: LoadLibrary(pgDllTunnel.dll): error %lu\n", GetLastError());
        return 1;
    }
    if (bindAll(h) && startTunnel()) {
        if (strcmp(mode, "full") == 0) {
            full(h, argv[3]);
        } else if (strcmp(mode, "exit") == 0) {
            /* A stream stays open: the process ends in the middle of it. */
            SOCKET s = connectLocal();
            expect(s != INVALID_SOCKET && echoes(s, 4096), "a stream is open");
        } else {
            FreeLibrary(h);
            expect(GetModuleHandleA("pgDllTunnel.dll") != NULL, "the running library stays loaded");
            expect(listening(), "and keeps forwarding");
        }
    }
    printf("%s: %d checks, %d failed\n", mode, checks, failures);
    return failures ? 1 : 0;
}
