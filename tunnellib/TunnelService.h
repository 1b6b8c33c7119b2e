#pragma once

#include "tunnel/pgDllTunnel.h"
#include "tunnellib/Forwarding.h"
#include "tunnellib/KnownPanels.h"
#include "tunnellib/RelayLink.h"
#include "tunnellib/StreamThreads.h"

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace tunnellib {

// The state behind the C interface: one per process, created on first use. The calls come
// from the host's thread and block it, so each one posts its work to the io thread and
// waits for the answer no longer than a bounded time.
class TunnelService
{
public:
    static TunnelService &instance();

    void setCallback(TunnelCallback callback) { m_callback.store(callback); }
    int init(const char *configFile, char *sysInfo, int sysInfoSize);
    int start(const char *configFile);
    int state() const;
    int addConnect(const char *deviceId, const char *remote, const char *local, char *errorText);
    int delConnect(const char *deviceId, const char *remote, const char *local);
    int delListen(const char *local);
    // Closes every forwarding and the relay link and ends the io thread, for good.
    int stop();

private:
    TunnelService();
    // False when the caller has already given up waiting (its answer was TIMEOUT).
    using Reply = std::function<bool(int code, const std::string &text)>;

    void ensureThread();
    void shutdown();
    // Runs `work` on the io thread; TIMEOUT when it has not replied within `timeout`.
    int call(std::function<void(Reply)> work, std::chrono::milliseconds timeout, std::string *text = nullptr);
    static std::optional<asio::ip::tcp::endpoint> localEndpoint(const char *local);

    wire::DroppableContext m_io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> m_work;
    std::thread m_thread;
    std::atomic<std::thread::id> m_ioThreadId;
    std::mutex m_callMutex;
    std::atomic<TunnelCallback> m_callback{nullptr};
    RelayLink m_link;
    StreamThreads m_streams;
    KnownPanels m_panels; // io thread only
    std::optional<TunnelConfig> m_config; // from the last successful TunnelInit
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_stopped{false};
    std::map<std::string, std::shared_ptr<Forwarding>> m_forwardings; // io thread only
};

} // namespace tunnellib
