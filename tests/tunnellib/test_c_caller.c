/* The library in a plain C process: no Qt, no event loop. The header must compile as C,
 * and calls must answer (bounded) without anything else running. */
#include "tunnel/pgDllTunnel.h"

#include <stdio.h>

static int failures = 0;

static void expect(int got, int want, const char *what)
{
    if (got != want) {
        printf("FAIL: %s: got %d, want %d\n", what, got, want);
        ++failures;
    }
}

static void notify(int state) { (void)state; }

int main(void)
{
    char info[256] = {0}, text[TUNNEL_ERROR_TEXT_SIZE] = {0};
    int state = -1;
    expect(TunnelSetCallback(notify), TUNNEL_OK, "TunnelSetCallback");
    expect(TunnelGetState(NULL, &state), TUNNEL_E_NOT_STARTED, "TunnelGetState before start");
    expect(state, TUNNEL_E_NOT_STARTED, "state out-parameter");
    expect(TunnelInit("no-such-dir/demoTunnel.cfg", info, (int)sizeof info), TUNNEL_E_CONFIG, "TunnelInit, no file");
    expect(TunnelStart("no-such-dir/demoTunnel.cfg", info, 0, 0), TUNNEL_E_CONFIG, "TunnelStart, no file");
    expect(TunnelAddConnect("", "SN1", 0, 0, "127.0.0.1:7530", "127.0.0.1:7530", text), TUNNEL_E_NOT_STARTED,
           "TunnelAddConnect before start");
    expect(TunnelDelConnect("", "SN1", 0, 0, "127.0.0.1:7530", "127.0.0.1:7530"), TUNNEL_E_NOT_FOUND,
           "TunnelDelConnect of nothing");
    expect(TunnelDelListen("", "bad address"), TUNNEL_E_BAD_ADDRESS, "TunnelDelListen, bad address");
    puts(failures ? "failed" : "passed");
    return failures ? 1 : 0;
}
