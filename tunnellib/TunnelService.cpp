#include "tunnellib/TunnelService.h"

#include "tunnellib/DebugLog.h"
#include "tunnellib/ProcessEnd.h"
#include "wire/CloseOnExec.h"
#include "wire/Messages.h"
#include "wire/TcpStream.h"

#include <openssl/ssl.h>

#include <cstdlib>
#include <cstring>
#include <future>

namespace tunnellib {

namespace {

constexpr std::chrono::seconds kStartWait{3};
constexpr std::chrono::seconds kCheckWait{2};
constexpr std::chrono::seconds kCallLimit{5};

void copyText(char *buffer, std::size_t size, const std::string &text)
{
    if (!buffer || size == 0)
        return;
    const std::size_t n = std::min(size - 1, text.size());
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

std::string normalRemote(const char *remote)
{
    if (!remote)
        return {};
    const auto hp = wire::parseHostPort(remote);
    return hp ? hp->text() : std::string();
}

} // namespace

TunnelService &TunnelService::instance()
{
    // Never destroyed: the host may exit at any time, and a destructor would run where the
    // io thread may not be joined. The host ends the thread with TunnelStop, or the process
    // end does (see ProcessEnd.h).
    static TunnelService *service = [] {
        OPENSSL_init_ssl(opensslInitOptions(), nullptr);
        auto *s = new TunnelService();
        stopAtProcessExit([] { instance().shutdown(); });
        return s;
    }();
    return *service;
}

TunnelService::TunnelService()
    : m_link(m_io, [this](int code) {
          if (TunnelCallback cb = m_callback.load())
              cb(code);
      }),
      m_streams(m_io, StreamThreads::defaultExtra())
{
}

void TunnelService::ensureThread()
{
    if (m_thread.joinable())
        return;
    pinLibrary();
    m_work.emplace(asio::make_work_guard(m_io));
    m_thread = std::thread([this] {
        m_ioThreadId = std::this_thread::get_id();
        runCatching(m_io, "io thread");
    });
    m_streams.start();
}

void TunnelService::shutdown()
{
    m_stopped = true;
    m_started = false;
    if (!m_thread.joinable() || processExiting())
        return;
    if (std::this_thread::get_id() == m_thread.get_id() || m_streams.isOwnThread()) {
        // exit() called from our own callback: cannot join ourselves
        m_thread.detach();
        m_streams.detach();
        return;
    }
    m_io.stop();
    m_thread.join();
    m_streams.stop();
    // Nothing runs the handlers any more: the local connections they hold (open streams) are
    // closed, so their applications see the end at once. Without the work guard first: on
    // Windows a context's shutdown waits until no work is counted.
    m_work.reset();
    m_io.dropHandlers();
}

int TunnelService::stop()
{
    if (std::this_thread::get_id() == m_ioThreadId.load())
        return TUNNEL_E_INTERNAL; // from inside the notification: would wait for ourselves
    std::lock_guard<std::mutex> lock(m_callMutex);
    if (m_thread.joinable() && !m_stopped) {
        // Closed on their own thread, so that the ports are free and the relay has seen us
        // go when this returns. Bounded like every call; the thread ends either way.
        call(
            [this](Reply reply) {
                for (auto &f : m_forwardings)
                    f.second->close();
                m_forwardings.clear();
                m_link.stop();
                reply(TUNNEL_OK, {});
            },
            kCallLimit);
    }
    shutdown();
    return TUNNEL_OK;
}

int TunnelService::call(std::function<void(Reply)> work, std::chrono::milliseconds timeout, std::string *text)
{
    if (std::this_thread::get_id() == m_ioThreadId.load())
        return TUNNEL_E_INTERNAL; // from inside the notification: would wait for ourselves
    if (m_stopped)
        return TUNNEL_E_NOT_STARTED;
    struct Outcome
    {
        std::promise<std::pair<int, std::string>> promise;
        std::atomic<bool> done{false};
    };
    auto outcome = std::make_shared<Outcome>();
    auto future = outcome->promise.get_future();
    Reply reply = [outcome](int code, const std::string &t) {
        if (outcome->done.exchange(true))
            return false;
        outcome->promise.set_value({code, t});
        return true;
    };
    asio::post(m_io, [work = std::move(work), reply] {
        try {
            work(reply);
        } catch (const std::exception &e) {
            reply(TUNNEL_E_INTERNAL, e.what());
        }
    });
    if (future.wait_for(timeout) != std::future_status::ready && !outcome->done.exchange(true)) {
        // Marked done so that a late reply knows its answer was not heard and undoes itself.
        if (text)
            *text = "no answer in time";
        return TUNNEL_E_TIMEOUT;
    }
    auto [code, t] = future.get();
    if (text)
        *text = t;
    return code;
}

int TunnelService::init(const char *configFile, char *sysInfo, int sysInfoSize)
{
    if (!configFile || !sysInfo || sysInfoSize <= 0)
        return TUNNEL_E_BAD_ARGUMENT;
    std::lock_guard<std::mutex> lock(m_callMutex);
    TunnelConfig cfg;
    std::string error;
    if (!cfg.load(configFile, &error)) {
        debugLog(error);
        copyText(sysInfo, std::size_t(sysInfoSize), error);
        return TUNNEL_E_CONFIG;
    }
    m_config = cfg;
    copyText(sysInfo, std::size_t(sysInfoSize), cfg.summary());
    return TUNNEL_OK;
}

int TunnelService::start(const char *configFile)
{
    std::lock_guard<std::mutex> lock(m_callMutex);
    if (m_stopped)
        return TUNNEL_E_NOT_STARTED; // TunnelStop was for good
    TunnelConfig cfg;
    std::string error;
    // The file named here wins; without one, what TunnelInit read.
    if (configFile && *configFile) {
        if (!cfg.load(configFile, &error)) {
            debugLog(error);
            return TUNNEL_E_CONFIG;
        }
    } else if (m_config) {
        cfg = *m_config;
    } else {
        return TUNNEL_E_CONFIG;
    }
    ensureThread();
    m_started = true;
    return call(
        [this, cfg](Reply reply) {
            m_panels.open(KnownPanels::fileBeside(cfg.file));
            m_link.configure(cfg);
            m_link.start();
            m_link.whenSettled(kStartWait, [reply](int code) { reply(code, {}); });
        },
        kCallLimit);
}

int TunnelService::state() const
{
    return m_started ? m_link.state() : TUNNEL_E_NOT_STARTED;
}

std::optional<asio::ip::tcp::endpoint> TunnelService::localEndpoint(const char *local)
{
    if (!local)
        return std::nullopt;
    const auto hp = wire::parseHostPort(local);
    if (!hp)
        return std::nullopt;
    std::error_code ec;
    const auto address = asio::ip::make_address(hp->host == "localhost" ? "127.0.0.1" : hp->host, ec);
    if (ec)
        return std::nullopt; // names would need a blocking lookup; the callers use literals
    return asio::ip::tcp::endpoint(address, hp->port);
}

int TunnelService::addConnect(const char *deviceId, const char *remote, const char *local, char *errorText)
{
    std::string text;
    const int code = [&]() -> int {
        if (!deviceId || !wire::msg::validSn(deviceId)) {
            text = "serial number missing or malformed";
            return TUNNEL_E_BAD_ARGUMENT;
        }
        const std::string remoteText = normalRemote(remote);
        const auto ep = localEndpoint(local);
        if (remoteText.empty() || !ep) {
            text = "address is not HOST:PORT";
            return TUNNEL_E_BAD_ADDRESS;
        }
        if (!m_started) {
            text = "tunnel not started";
            return TUNNEL_E_NOT_STARTED;
        }
        std::lock_guard<std::mutex> lock(m_callMutex);
        const std::string sn = deviceId;
        return call(
            [this, sn, remoteText, ep = *ep](Reply reply) {
                const std::string key = wire::endpointText(ep);
                auto acceptor = std::make_shared<asio::ip::tcp::acceptor>(m_io);
                if (!m_forwardings.count(key)) {
                    std::error_code ec;
                    acceptor->open(ep.protocol(), ec);
                    wire::closeOnExec(*acceptor);
                    if (!ec)
                        acceptor->set_option(asio::socket_base::reuse_address(true), ec);
                    if (!ec)
                        acceptor->bind(ep, ec);
                    if (!ec)
                        acceptor->listen(asio::socket_base::max_listen_connections, ec);
                    if (ec == asio::error::address_in_use || ec == asio::error::access_denied)
                        return (void)reply(TUNNEL_E_PORT_IN_USE, key + " in use");
                    if (ec)
                        return (void)reply(TUNNEL_E_BAD_ADDRESS, key + ": " + ec.message());
                }
                m_link.check(sn, kCheckWait, [this, sn, remoteText, key, acceptor, reply](int code) {
                    if (code != TUNNEL_OK) {
                        std::error_code ignored;
                        acceptor->close(ignored);
                        return (void)reply(code, "relay refused " + sn);
                    }
                    auto it = m_forwardings.find(key);
                    if (!acceptor->is_open()) {
                        if (it == m_forwardings.end())
                            return (void)reply(TUNNEL_E_NOT_FOUND, "forwarding removed meanwhile");
                        const std::string oldSn = it->second->sn(), oldRemote = it->second->remote();
                        it->second->retarget(sn, remoteText);
                        if (!reply(TUNNEL_OK, {}))
                            it->second->retarget(oldSn, oldRemote); // the caller gave up: undo
                        return;
                    }
                    auto f = std::make_shared<Forwarding>(std::move(*acceptor), m_link, m_streams, m_panels, sn,
                                                          remoteText);
                    if (!reply(TUNNEL_OK, {}))
                        return f->close(); // the caller was told it failed: do not listen
                    if (it != m_forwardings.end())
                        it->second->close();
                    m_forwardings[key] = f;
                    f->start();
                });
            },
            kCallLimit, &text);
    }();
    if (code != TUNNEL_OK)
        debugLog("TunnelAddConnect: " + text);
    copyText(errorText, TUNNEL_ERROR_TEXT_SIZE, code == TUNNEL_OK ? std::string() : text);
    return code;
}

int TunnelService::delConnect(const char *deviceId, const char *remote, const char *local)
{
    const std::string sn = deviceId ? deviceId : "";
    const std::string remoteText = normalRemote(remote);
    const auto ep = localEndpoint(local);
    if (!ep || remoteText.empty())
        return TUNNEL_E_BAD_ADDRESS;
    if (!m_thread.joinable())
        return TUNNEL_E_NOT_FOUND;
    std::lock_guard<std::mutex> lock(m_callMutex);
    return call(
        [this, sn, remoteText, key = wire::endpointText(*ep)](Reply reply) {
            auto it = m_forwardings.find(key);
            if (it == m_forwardings.end() || it->second->sn() != sn || it->second->remote() != remoteText)
                return (void)reply(TUNNEL_E_NOT_FOUND, {});
            it->second->close();
            m_forwardings.erase(it);
            reply(TUNNEL_OK, {});
        },
        kCallLimit);
}

int TunnelService::delListen(const char *local)
{
    const auto ep = localEndpoint(local);
    if (!ep)
        return TUNNEL_E_BAD_ADDRESS;
    if (!m_thread.joinable())
        return TUNNEL_E_NOT_FOUND;
    std::lock_guard<std::mutex> lock(m_callMutex);
    return call(
        [this, key = wire::endpointText(*ep)](Reply reply) {
            auto it = m_forwardings.find(key);
            if (it == m_forwardings.end())
                return (void)reply(TUNNEL_E_NOT_FOUND, {});
            it->second->close();
            m_forwardings.erase(it);
            reply(TUNNEL_OK, {});
        },
        kCallLimit);
}

} // namespace tunnellib
