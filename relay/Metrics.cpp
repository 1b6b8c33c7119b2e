#include "relay/Metrics.h"

#include "wire/TcpStream.h"

namespace relay {

namespace {

void metric(std::string &out, const char *name, const char *type, const char *help, const std::string &value)
{
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + " " + value
           + "\n";
}

std::string reply(const char *status, const char *contentType, const std::string &body)
{
    return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + contentType
           + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

} // namespace

std::string Metrics::prometheusText() const
{
    std::string out;
    metric(out, "talvo_relay_panels_online", "gauge", "Panels registered at this relay.",
           std::to_string(panelsOnline.load()));
    metric(out, "talvo_relay_streams_open", "gauge", "Streams spliced or forwarded now.",
           std::to_string(streamsOpen.load()));
    out += "# HELP talvo_relay_bytes_total Bytes passed on by streams, by direction (up: PC to panel).\n"
           "# TYPE talvo_relay_bytes_total counter\n"
           "talvo_relay_bytes_total{direction=\"up\"} " + std::to_string(bytesUp.load()) + "\n"
           "talvo_relay_bytes_total{direction=\"down\"} " + std::to_string(bytesDown.load()) + "\n";
    metric(out, "talvo_relay_auth_failures_total", "counter",
           "Refused panel secrets, user tokens and relay-to-relay requests.", std::to_string(authFailures.load()));
    metric(out, "talvo_relay_forwarded_streams_total", "counter",
           "Streams passed on to the relay that holds the panel.", std::to_string(forwardedStreams.load()));
    metric(out, "talvo_relay_registry_errors_total", "counter", "Failed Redis commands and connections.",
           std::to_string(registryErrors.load()));
    metric(out, "talvo_relay_audit_write_failures_total", "counter",
           "Audit records that could not be written to the trail's file.", std::to_string(auditWriteFailures.load()));
    const int up = registryUp.load();
    if (up >= 0)
        metric(out, "talvo_relay_registry_up", "gauge", "1 while the cluster's Redis answers.", std::to_string(up));
    return out;
}

std::string Metrics::healthText() const
{
    const int up = registryUp.load();
    return up < 0 ? "ok\n" : up ? "ok registry up\n" : "ok registry unreachable\n";
}

std::string MetricsServer::answer(const std::string &head, const Metrics &metrics)
{
    const auto end = head.find("\r\n");
    const std::string line = head.substr(0, end);
    const auto sp1 = line.find(' ');
    const auto sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
    if (end == std::string::npos || sp2 == std::string::npos || line.compare(sp2 + 1, 7, "HTTP/1.") != 0)
        return reply("400 Bad Request", "text/plain", "bad request\n");
    const std::string method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    target = target.substr(0, target.find('?'));
    if (method != "GET" && method != "HEAD")
        return reply("405 Method Not Allowed", "text/plain", "GET only\n");
    std::string r;
    if (target == "/metrics")
        r = reply("200 OK", "text/plain; version=0.0.4", metrics.prometheusText());
    else if (target == "/health")
        r = reply("200 OK", "text/plain", metrics.healthText());
    else
        r = reply("404 Not Found", "text/plain", "try /metrics or /health\n");
    if (method == "HEAD")
        r = r.substr(0, r.find("\r\n\r\n") + 4);
    return r;
}

MetricsServer::MetricsServer(asio::io_context &io, std::shared_ptr<const Metrics> metrics)
    : m_metrics(std::move(metrics)), m_acceptor(io)
{
}

bool MetricsServer::start(const wire::HostPort &address, std::string *error)
{
    std::error_code ec;
    const auto ip = asio::ip::make_address(address.host, ec);
    if (ec) {
        *error = "metrics address " + address.host + " is not an IP address";
        return false;
    }
    const asio::ip::tcp::endpoint ep(ip, address.port);
    ec = wire::listenOn(m_acceptor, ep, 64);
    if (ec) {
        *error = "cannot listen for metrics on " + address.text() + ": " + ec.message();
        return false;
    }
    m_port = m_acceptor.local_endpoint().port();
    acceptNext();
    return true;
}

void MetricsServer::stop()
{
    std::error_code ignored;
    m_acceptor.close(ignored);
}

namespace {

struct Client : std::enable_shared_from_this<Client>
{
    Client(asio::ip::tcp::socket s, std::shared_ptr<const Metrics> m, std::shared_ptr<std::atomic<std::size_t>> count)
        : socket(std::move(s)), timer(socket.get_executor()), metrics(std::move(m)), clients(std::move(count))
    {
    }
    ~Client() { --*clients; }

    void start()
    {
        timer.expires_after(MetricsServer::kDeadline);
        timer.async_wait([self = shared_from_this()](const std::error_code &ec) {
            if (!ec) {
                std::error_code ignored;
                self->socket.close(ignored);
            }
        });
        read();
    }
    void read()
    {
        socket.async_read_some(asio::buffer(buffer.data() + used, buffer.size() - used),
                               [self = shared_from_this()](const std::error_code &ec, std::size_t n) {
                                   if (ec) {
                                       self->timer.cancel();
                                       return;
                                   }
                                   self->used += n;
                                   const std::string head(self->buffer.data(), self->used);
                                   if (head.find("\r\n\r\n") != std::string::npos)
                                       return self->respond(MetricsServer::answer(head, *self->metrics));
                                   if (self->used == self->buffer.size())
                                       return self->respond("HTTP/1.1 431 Request Header Fields Too Large\r\n"
                                                            "Content-Length: 0\r\nConnection: close\r\n\r\n");
                                   self->read();
                               });
    }
    void respond(std::string text)
    {
        out = std::move(text);
        asio::async_write(socket, asio::buffer(out), [self = shared_from_this()](const std::error_code &, std::size_t) {
            std::error_code ignored;
            self->socket.shutdown(asio::socket_base::shutdown_both, ignored);
            self->socket.close(ignored);
            self->timer.cancel();
        });
    }

    asio::ip::tcp::socket socket;
    asio::steady_timer timer;
    std::shared_ptr<const Metrics> metrics;
    std::shared_ptr<std::atomic<std::size_t>> clients;
    std::array<char, MetricsServer::kMaxHead> buffer{};
    std::size_t used = 0;
    std::string out;
};

} // namespace

void MetricsServer::acceptNext()
{
    m_acceptor.async_accept([self = shared_from_this()](const std::error_code &ec, asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !self->m_acceptor.is_open())
            return;
        if (!ec) {
            // A scraper needs one connection; many at once are a flood, closed unread.
            if (self->m_clients->fetch_add(1) < kMaxClients) {
                std::make_shared<Client>(std::move(socket), self->m_metrics, self->m_clients)->start();
            } else {
                --*self->m_clients;
            }
        }
        self->acceptNext();
    });
}

} // namespace relay
