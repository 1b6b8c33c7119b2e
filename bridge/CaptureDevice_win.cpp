#include "bridge/CaptureDevice.h"

#include <QStringList>

#include <pcap/pcap.h>

#include <windows.h>

#include <string>

namespace {
// wpcap.dll comes with the capture driver's installer, not with the tool: it is loaded at
// run time, so that the tool starts without it and offers that installer instead.
struct Wpcap
{
    decltype(&pcap_open_live) open_live = nullptr;
    decltype(&pcap_close) close = nullptr;
    decltype(&pcap_next_ex) next_ex = nullptr;
    decltype(&pcap_sendpacket) sendpacket = nullptr;
    decltype(&pcap_geterr) geterr = nullptr;
    decltype(&pcap_compile) compile = nullptr;
    decltype(&pcap_setfilter) setfilter = nullptr;
    decltype(&pcap_freecode) freecode = nullptr;
    decltype(&pcap_findalldevs) findalldevs = nullptr;
    decltype(&pcap_freealldevs) freealldevs = nullptr;
    QString problem; // empty when every function above was found

    // Loaded once, on first use, and kept for the life of the process.
    static const Wpcap &get()
    {
        static const Wpcap table = load();
        return table;
    }

private:
    template<typename F>
    static bool find(HMODULE library, const char *name, F *function, QStringList *missing)
    {
        *function = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(library, name)));
        if (!*function)
            *missing << QLatin1String(name);
        return *function != nullptr;
    }

    static HMODULE loadLibrary(DWORD *code)
    {
        // The system's search first (the application's folder, System32, PATH); then the
        // folder where Npcap keeps its copy, with Packet.dll beside it.
        HMODULE library = LoadLibraryW(L"wpcap.dll");
        *code = library ? 0 : GetLastError();
        wchar_t system[MAX_PATH];
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        if (!library && length > 0 && length < MAX_PATH) {
            const std::wstring npcap = std::wstring(system, length) + L"\\Npcap\\wpcap.dll";
            library = LoadLibraryExW(npcap.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        }
        return library;
    }

    static Wpcap load()
    {
        Wpcap t;
        DWORD code = 0;
        const HMODULE library = loadLibrary(&code);
        if (!library) {
            t.problem = QStringLiteral("the capture library wpcap.dll is not installed (%1)").arg(qt_error_string(int(code)));
            return t;
        }
        QStringList missing;
        find(library, "pcap_open_live", &t.open_live, &missing);
        find(library, "pcap_close", &t.close, &missing);
        find(library, "pcap_next_ex", &t.next_ex, &missing);
        find(library, "pcap_sendpacket", &t.sendpacket, &missing);
        find(library, "pcap_geterr", &t.geterr, &missing);
        find(library, "pcap_compile", &t.compile, &missing);
        find(library, "pcap_setfilter", &t.setfilter, &missing);
        find(library, "pcap_freecode", &t.freecode, &missing);
        find(library, "pcap_findalldevs", &t.findalldevs, &missing);
        find(library, "pcap_freealldevs", &t.freealldevs, &missing);
        if (!missing.isEmpty())
            t.problem = QStringLiteral("the capture library wpcap.dll lacks %1").arg(missing.join(QStringLiteral(", ")));
        return t;
    }
};

class DriverCapture : public CaptureDevice
{
public:
    DriverCapture(const Wpcap &pcap, pcap_t *handle)
        : m_pcap(pcap)
        , m_handle(handle)
    {
    }
    ~DriverCapture() override { m_pcap.close(m_handle); }

    // The capture driver honours the read timeout itself: a read returns 0 when it runs out.
    bool waitForFrame(int) override { return true; }

    int read(const unsigned char **data, int *length) override
    {
        pcap_pkthdr *header = nullptr;
        const int r = m_pcap.next_ex(m_handle, &header, data);
        if (r != 1)
            return r < 0 ? -1 : 0;
        // A frame cut short by the capture would make the relay read past what was captured.
        if (header->caplen < header->len)
            return 0;
        *length = int(header->len);
        return 1;
    }

    bool inject(const unsigned char *data, int length) override
    {
        return m_pcap.sendpacket(m_handle, data, length) == 0;
    }

    QString errorText() const override { return QString::fromLocal8Bit(m_pcap.geterr(m_handle)); }

private:
    const Wpcap &m_pcap;
    pcap_t *m_handle;
};
} // namespace

QString CaptureDevice::libraryProblem()
{
    return Wpcap::get().problem;
}

std::unique_ptr<CaptureDevice> CaptureDevice::open(const QString &name, const QString &filter,
                                                   int readTimeoutMs, QString *error)
{
    const Wpcap &pcap = Wpcap::get();
    if (!pcap.problem.isEmpty()) {
        *error = pcap.problem;
        return nullptr;
    }
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t *handle = pcap.open_live(name.toLatin1().constData(), 65536, 1, readTimeoutMs, errbuf);
    if (!handle) {
        *error = QString::fromLocal8Bit(errbuf);
        return nullptr;
    }
    // Before any panel announcement the filter names no host and does not compile; the
    // device then runs unfiltered and the relay rule alone decides.
    bpf_program program;
    if (!filter.isEmpty()
        && pcap.compile(handle, &program, filter.toLatin1().constData(), 1, PCAP_NETMASK_UNKNOWN) == 0) {
        pcap.setfilter(handle, &program);
        pcap.freecode(&program);
    }
    return std::make_unique<DriverCapture>(pcap, handle);
}

bool CaptureDevice::list(QList<QPair<QString, QString>> *devices, QString *error)
{
    const Wpcap &pcap = Wpcap::get();
    if (!pcap.problem.isEmpty()) {
        *error = pcap.problem;
        return false;
    }
    pcap_if_t *all = nullptr;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    if (pcap.findalldevs(&all, errbuf) == -1) {
        *error = QString::fromLocal8Bit(errbuf);
        return false;
    }
    for (pcap_if_t *d = all; d; d = d->next)
        devices->append({QString::fromLocal8Bit(d->name),
                         d->description ? QString::fromLocal8Bit(d->description) : QString()});
    pcap.freealldevs(all);
    return true;
}
