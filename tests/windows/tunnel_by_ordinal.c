/* pgDllTunnel.dll in a foreign Windows host: loaded with LoadLibrary, its calls bound by
 * ordinal alone, data moved through a forwarding, and the three ways a host ends with it.
 *
 *   tunnel_by_ordinal MODE CONFIG TOKEN SN REMOTE LOCAL
 *
 * MODE full: the call contract from first call to TunnelStop and FreeLibrary.
 * MODE exit: returns from main with the tunnel and a stream open (no TunnelStop).
 * MODE unload: FreeLibrary with the tunnel running; the library must stay loaded.
 * Prints one line per failed check and a summary; exits 1 on any failure. */
#include <winsock2.h>
#include <windows.h>

#include "tunnel/pgDllTunnel.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef int(TUNNEL_CALL *InitFn)(const char *, char *, int);
typedef int(TUNNEL_CALL *StartFn)(const char *, const char *, int, int);
typedef int(TUNNEL_CALL *AddFn)(const char *, const char *, int, int, const char *, const char *, char *);
typedef int(TUNNEL_CALL *DelFn)(const char *, const char *, int, int, const char *, const char *);
typedef int(TUNNEL_CALL *DelListenFn)(const char *, const char *);
typedef int(TUNNEL_CALL *StateFn)(void *, int *);
typedef int(TUNNEL_CALL *SetCallbackFn)(TunnelCallback);
typedef int(TUNNEL_CALL *StopFn)(void);

static InitFn pInit;
static StartFn pStart;
static AddFn pAdd;
static DelFn pDel;
static DelListenFn pDelListen;
static StateFn pState;
static SetCallbackFn pSetCallback;
static StopFn pStop;

static int checks = 0, failures = 0;
static volatile LONG notified = -1;

static void expect(int ok, const char *what)
{
    ++checks;
    if (!ok) {
        printf("FAIL: %s\n", what);
        fflush(stdout);
        ++failures;
    }
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

static int bindAll(HMODULE h)
{
    pInit = (InitFn)(void (*)(void))bindCall(h, 1, "TunnelInit");
    pStart = (StartFn)(void (*)(void))bindCall(h, 2, "TunnelStart");
    pAdd = (AddFn)(void (*)(void))bindCall(h, 12, "TunnelAddConnect");
    pDel = (DelFn)(void (*)(void))bindCall(h, 13, "TunnelDelConnect");
    pDelListen = (DelListenFn)(void (*)(void))bindCall(h, 15, "TunnelDelListen");
    pState = (StateFn)(void (*)(void))bindCall(h, 21, "TunnelGetState");
    pSetCallback = (SetCallbackFn)(void (*)(void))bindCall(h, 23, "TunnelSetCallback");
    pStop = (StopFn)(void (*)(void))bindCall(h, 24, "TunnelStop");
    return pInit && pStart && pAdd && pDel && pDelListen && pState && pSetCallback && pStop;
}

static SOCKET connectLocal(const char *local)
{
    char host[64];
    const char *colon = strrchr(local, ':');
    struct sockaddr_in a;
    SOCKET s;
    DWORD timeout = 20000;
    if (!colon || (size_t)(colon - local) >= sizeof host)
        return INVALID_SOCKET;
    memcpy(host, local, (size_t)(colon - local));
    host[colon - local] = '\0';
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((u_short)atoi(colon + 1));
    a.sin_addr.s_addr = inet_addr(host);
    s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return s;
    /* Bounded: a lost byte must fail the test, not hang it. */
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char *)&timeout, sizeof timeout);
    if (connect(s, (struct sockaddr *)&a, sizeof a) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

/* Sends `total` bytes in rounds and reads each round's echo back before the next. */
static int echoes(SOCKET s, int total)
{
    static char out[16384], in[16384];
    int sent = 0, i;
    while (sent < total) {
        int round = total - sent < (int)sizeof out ? total - sent : (int)sizeof out;
        int got = 0;
        for (i = 0; i < round; ++i)
            out[i] = (char)((sent + i) * 7 + 3);
        if (send(s, out, round, 0) != round)
            return 0;
        while (got < round) {
            int n = recv(s, in + got, round - got, 0);
            if (n <= 0)
                return 0;
            got += n;
        }
        if (memcmp(in, out, (size_t)round) != 0)
            return 0;
        sent += round;
    }
    return 1;
}

static int listening(const char *local)
{
    SOCKET s = connectLocal(local);
    if (s == INVALID_SOCKET)
        return 0;
    closesocket(s);
    return 1;
}

static int startTunnel(const char *config, const char *local, const char *sn, const char *remote)
{
    char info[256], text[TUNNEL_ERROR_TEXT_SIZE];
    memset(info, 0, sizeof info);
    expectCode(pSetCallback(notify), TUNNEL_OK, "TunnelSetCallback");
    expectCode(pInit(config, info, (int)sizeof info), TUNNEL_OK, "TunnelInit");
    expectCode(pStart(config, info, 0, 0), TUNNEL_OK, "TunnelStart");
    expectCode(pAdd("", sn, 0, 0, remote, local, text), TUNNEL_OK, "TunnelAddConnect");
    return failures == 0;
}

static void full(HMODULE h, const char *config, const char *token, const char *sn, const char *remote,
                 const char *local)
{
    char info[256], text[TUNNEL_ERROR_TEXT_SIZE];
    int state = -1;
    SOCKET s;

    memset(info, 0, sizeof info);
    expectCode(pSetCallback(notify), TUNNEL_OK, "TunnelSetCallback");
    expectCode(pState(NULL, &state), TUNNEL_E_NOT_STARTED, "TunnelGetState before start");
    expectCode(state, TUNNEL_E_NOT_STARTED, "state before start");
    expectCode(pInit("no-such-folder\\demoTunnel.cfg", info, (int)sizeof info), TUNNEL_E_CONFIG,
               "TunnelInit of a missing file");
    expectCode(pAdd("", sn, 0, 0, remote, local, text), TUNNEL_E_NOT_STARTED, "TunnelAddConnect before start");

    expectCode(pInit(config, info, (int)sizeof info), TUNNEL_OK, "TunnelInit");
    expect(strstr(info, "relay=127.0.0.1:") != NULL, "sysInfo names the relay");
    expect(strstr(info, token) == NULL, "sysInfo never carries the token");
    expectCode(pStart(config, info, 0, 0), TUNNEL_OK, "TunnelStart");
    expectCode(pState(NULL, &state), TUNNEL_OK, "TunnelGetState when up");
    expectCode(state, TUNNEL_OK, "state when up");
    expectCode((int)notified, TUNNEL_OK, "the callback heard the link come up");

    expectCode(pAdd("", "", 0, 0, remote, local, text), TUNNEL_E_BAD_ARGUMENT, "TunnelAddConnect, empty SN");
    expectCode(pAdd("", sn, 0, 0, remote, "nonsense", text), TUNNEL_E_BAD_ADDRESS, "TunnelAddConnect, bad local");
    expect(text[0] != '\0', "a failed TunnelAddConnect says why");
    expectCode(pAdd("", sn, 0, 0, remote, local, text), TUNNEL_OK, "TunnelAddConnect");
    expect(text[0] == '\0', "no error text on success");

    s = connectLocal(local);
    expect(s != INVALID_SOCKET, "the forwarding listens");
    if (s != INVALID_SOCKET) {
        expect(echoes(s, 1 << 20), "1 MiB through the forwarding comes back intact");
        closesocket(s);
    }

    expectCode(pDel("", sn, 0, 0, "127.0.0.1:1", local), TUNNEL_E_NOT_FOUND, "TunnelDelConnect, other remote");
    expectCode(pDel("", sn, 0, 0, remote, local), TUNNEL_OK, "TunnelDelConnect");
    expect(!listening(local), "no listener after TunnelDelConnect");
    expectCode(pAdd("", sn, 0, 0, remote, local, text), TUNNEL_OK, "TunnelAddConnect again");
    expectCode(pDelListen("", local), TUNNEL_OK, "TunnelDelListen");
    expectCode(pDelListen("", local), TUNNEL_E_NOT_FOUND, "TunnelDelListen twice");

    expectCode(pAdd("", sn, 0, 0, remote, local, text), TUNNEL_OK, "TunnelAddConnect before stop");
    s = connectLocal(local);
    expect(s != INVALID_SOCKET && echoes(s, 1024), "a stream open across TunnelStop");
    expectCode(pStop(), TUNNEL_OK, "TunnelStop");
    expect(!listening(local), "TunnelStop closed the listener");
    if (s != INVALID_SOCKET) {
        /* Closed by the stop, not left open with nobody serving it (the read is bounded). */
        char byte;
        expect(recv(s, &byte, 1, 0) <= 0 && WSAGetLastError() != WSAETIMEDOUT, "TunnelStop closed the open stream");
        closesocket(s);
    }
    expectCode(pState(NULL, &state), TUNNEL_E_NOT_STARTED, "TunnelGetState after stop");
    expectCode(pStart(config, info, 0, 0), TUNNEL_E_NOT_STARTED, "TunnelStart after stop");
    expectCode(pStop(), TUNNEL_OK, "TunnelStop twice");

    /* Asio's helper threads outlive the stop: the library must not let itself be unmapped. */
    FreeLibrary(h);
    expect(GetModuleHandleA("pgDllTunnel.dll") != NULL, "the started library stays loaded after FreeLibrary");
}

int main(int argc, char **argv)
{
    WSADATA wsa;
    HMODULE h;
    const char *mode, *config, *token, *sn, *remote, *local;
    if (argc != 7) {
        fprintf(stderr, "usage: tunnel_by_ordinal full|exit|unload CONFIG TOKEN SN REMOTE LOCAL\n");
        return 2;
    }
    mode = argv[1];
    config = argv[2];
    token = argv[3];
    sn = argv[4];
    remote = argv[5];
    local = argv[6];
    setvbuf(stdout, NULL, _IONBF, 0);
    WSAStartup(MAKEWORD(2, 2), &wsa);

    h = LoadLibraryA("pgDllTunnel.dll");
    if (!h) {
        printf("FAIL: LoadLibrary(pgDllTunnel.dll): error %lu\n", GetLastError());
        return 1;
    }
    if (!bindAll(h)) {
        printf("%d checks, %d failed\n", checks, failures);
        return 1;
    }

    if (strcmp(mode, "full") == 0) {
        full(h, config, token, sn, remote, local);
    } else if (strcmp(mode, "exit") == 0) {
        /* A stream stays open: the process ends in the middle of it. */
        if (startTunnel(config, local, sn, remote)) {
            SOCKET s = connectLocal(local);
            expect(s != INVALID_SOCKET && echoes(s, 4096), "a stream is open");
        }
    } else if (strcmp(mode, "unload") == 0) {
        if (startTunnel(config, local, sn, remote)) {
            FreeLibrary(h);
            expect(GetModuleHandleA("pgDllTunnel.dll") != NULL, "the running library stays loaded");
            expect(listening(local), "and keeps forwarding");
        }
    } else {
        fprintf(stderr, "tunnel_by_ordinal: unknown mode %s\n", mode);
        return 2;
    }
    printf("%s: %d checks, %d failed\n", mode, checks, failures);
    return failures ? 1 : 0;
}
