#ifndef PGDLLTUNNEL_H
#define PGDLLTUNNEL_H

/* The tunnel library's C interface: keeps a tunnel to panels (addressed by serial number)
 * through a relay and forwards local TCP connections to addresses as seen from a panel.
 * Every call returns 0 on success or one of the TUNNEL_E_* codes below, and returns within
 * a few seconds. The library runs its own I/O thread; callers need no event loop. */

#ifdef _WIN32
#  ifdef PGDLLTUNNEL_BUILD
#    define TUNNEL_API __declspec(dllexport)
#  else
#    define TUNNEL_API __declspec(dllimport)
#  endif
#  define TUNNEL_CALL __cdecl
#else
#  define TUNNEL_API __attribute__((visibility("default")))
#  define TUNNEL_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum TunnelResult {
    TUNNEL_OK = 0,
    TUNNEL_E_CONFIG = 1,            /* config file missing, unreadable, or a key missing/invalid */
    TUNNEL_E_NOT_STARTED = 2,       /* TunnelInit/TunnelStart not done (or Init failed) */
    TUNNEL_E_BAD_ARGUMENT = 3,      /* null pointer, empty or malformed serial number */
    TUNNEL_E_BAD_ADDRESS = 4,       /* remote or local address is not HOST:PORT, or not local */
    TUNNEL_E_PORT_IN_USE = 5,       /* the local address is taken by another program */
    TUNNEL_E_RELAY_UNREACHABLE = 6, /* no connection to the relay */
    TUNNEL_E_RELAY_CERTIFICATE = 7, /* the relay's certificate does not match the fingerprint */
    TUNNEL_E_TOKEN_REFUSED = 8,     /* the relay does not know the token */
    TUNNEL_E_SN_NOT_ALLOWED = 9,    /* the token may not reach this serial number */
    TUNNEL_E_PANEL_OFFLINE = 10,    /* the panel is not connected to the relay */
    TUNNEL_E_NOT_FOUND = 11,        /* delete: no such forwarding */
    TUNNEL_E_TIMEOUT = 12,          /* the relay did not answer in time */
    TUNNEL_E_INTERNAL = 13          /* unexpected failure, or called from the notification */
};

/* Called on the library's thread with a TunnelResult each time the relay link comes up
 * (TUNNEL_OK) or goes down (the reason). Must return quickly and must not call back into
 * the library. */
typedef void(TUNNEL_CALL *TunnelCallback)(int state);

/* Size of the buffer TunnelAddConnect may fill with a readable reason. */
#define TUNNEL_ERROR_TEXT_SIZE 64

TUNNEL_API int TUNNEL_CALL TunnelSetCallback(TunnelCallback callback);
/* Reads the config file (INI: [tunnel] relay=HOST:PORT, fingerprint=HEX, token=TEXT) and
 * writes what it read, never the token, into sysInfo (NUL-terminated, truncated). */
TUNNEL_API int TUNNEL_CALL TunnelInit(const char *configFile, char *sysInfo, int sysInfoSize);
/* Starts the relay link (once; again while running is harmless and retries a lost link at
 * once). 0 when the relay accepted the token within a few seconds, else the reason; the
 * library keeps retrying in the background either way. */
TUNNEL_API int TUNNEL_CALL TunnelStart(const char *configFile, const char *sysInfo, int reserved1, int reserved2);
/* 0 while started, connected to the relay and the token accepted; *state gets the same. */
TUNNEL_API int TUNNEL_CALL TunnelGetState(void *reserved, int *state);
/* Listens on `local` and forwards each accepted connection to `remote` as seen from panel
 * `deviceId`. 0 only when listening and the relay confirmed the token may reach the panel
 * and the panel is online. A forwarding already on `local` is replaced. */
TUNNEL_API int TUNNEL_CALL TunnelAddConnect(const char *reserved, const char *deviceId, int reserved1,
                                            int reserved2, const char *remote, const char *local,
                                            char *errorText);
/* Closes the listener of that exact forwarding; open streams finish on their own. */
TUNNEL_API int TUNNEL_CALL TunnelDelConnect(const char *reserved, const char *deviceId, int reserved1,
                                            int reserved2, const char *remote, const char *local);
/* Closes the listener on `local`, whatever it forwards to; open streams finish. */
TUNNEL_API int TUNNEL_CALL TunnelDelListen(const char *reserved, const char *local);
/* Closes every forwarding and the relay link and ends the library's thread, for good: later
 * calls answer TUNNEL_E_NOT_STARTED. Call it where the host ends, from the host's thread;
 * exiting the process without it is safe too. Once started, the library stays loaded until
 * the process ends: unloading it is harmless and does nothing. */
TUNNEL_API int TUNNEL_CALL TunnelStop(void);

#ifdef __cplusplus
}
#endif

#endif
