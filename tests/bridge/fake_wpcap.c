/* Plays wpcap.dll for tst_bridge_wine: one TAP device, captures that open and see nothing.
   Built twice; the "partial" copy lacks pcap_sendpacket, as a wrong or old DLL may. */
#include <pcap/pcap.h>

#include <stdlib.h>
#include <string.h>

static pcap_if_t device = {NULL, "\\Device\\NPF_{TEST}", "TAP-Windows Adapter V9", NULL, 0};
static char handle;

int pcap_findalldevs(pcap_if_t **all, char *errbuf)
{
    (void)errbuf;
    *all = &device;
    return 0;
}
void pcap_freealldevs(pcap_if_t *all) { (void)all; }
pcap_t *pcap_open_live(const char *name, int snap, int promisc, int ms, char *errbuf)
{
    (void)snap; (void)promisc; (void)ms;
    if (strcmp(name, device.name) != 0) {
        strcpy(errbuf, "no such device");
        return NULL;
    }
    return (pcap_t *)&handle;
}
void pcap_close(pcap_t *p) { (void)p; }
int pcap_next_ex(pcap_t *p, struct pcap_pkthdr **h, const u_char **d)
{
    (void)p; (void)h; (void)d;
    return 0;
}
#ifndef PARTIAL
int pcap_sendpacket(pcap_t *p, const u_char *d, int n)
{
    (void)p; (void)d; (void)n;
    return 0;
}
#endif
char *pcap_geterr(pcap_t *p)
{
    (void)p;
    return (char *)"";
}
int pcap_compile(pcap_t *p, struct bpf_program *f, const char *s, int o, bpf_u_int32 m)
{
    (void)p; (void)f; (void)s; (void)o; (void)m;
    return -1;
}
int pcap_setfilter(pcap_t *p, struct bpf_program *f)
{
    (void)p; (void)f;
    return 0;
}
void pcap_freecode(struct bpf_program *f) { (void)f; }
