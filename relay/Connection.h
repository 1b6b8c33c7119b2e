#pragma once

#include "wire/DescriptorRecords.h"
#include "wire/TlsStream.h"

#include <map>
#include <mutex>
#include <vector>

namespace relay {

// Connections admitted now: in all, per source address and per I/O thread. Shared by the
// threads; taken at accept and close only, never while bytes flow.
struct Admissions
{
    std::mutex mutex;
    std::size_t total = 0;
    std::map<asio::ip::address, std::size_t> perSource; // no entry for a source at zero
    std::vector<std::size_t> perThread;
    // Made ahead per thread's io_context (see DescriptorRecords), also for connections
    // that move there.
    std::vector<std::unique_ptr<wire::DescriptorRecords>> records;
};

// One admitted connection's place in the counts, given back when the last holder of the
// connection lets go (the relay may be gone by then: the counts are shared).
class Slot
{
public:
    Slot(std::shared_ptr<Admissions> admissions, asio::ip::address source, std::size_t thread);
    ~Slot();
    Slot(const Slot &) = delete;
    Slot &operator=(const Slot &) = delete;
    void moveTo(std::size_t thread);
    // Another relay of the cluster, recognised by its signature: it carries streams for many
    // PCs, so it does not count against max_per_source (a busy cluster would reach it and
    // then refuse streams). Still counted in max_connections.
    void exemptFromSource();

private:
    std::shared_ptr<Admissions> m_admissions;
    asio::ip::address m_source;
    std::size_t m_thread;
    bool m_exempt = false;
};

// An accepted connection as the rest of the relay holds it: the TLS stream, the I/O thread
// that alone touches it (its io_context), and its slot riding along, so that the count
// follows the connection through registration, pending requests and splicing without any
// of them knowing.
class Connection : public wire::Stream
{
public:
    Connection(wire::TlsStream::Ptr tls, asio::io_context &home, std::size_t thread, std::shared_ptr<Slot> slot)
        : m_tls(std::move(tls)), m_home(&home), m_thread(thread), m_slot(std::move(slot))
    {
    }
    void readSome(asio::mutable_buffer buffer, wire::IoHandler handler) override
    {
        m_tls->readSome(buffer, std::move(handler));
    }
    // See TlsStream::waitBeforeReads.
    void waitBeforeReads() { m_tls->waitBeforeReads(); }
    void writeAll(asio::const_buffer buffer, wire::IoHandler handler) override
    {
        m_tls->writeAll(buffer, std::move(handler));
    }
    void waitReadable(std::function<void(const std::error_code &)> handler) override
    {
        m_tls->waitReadable(std::move(handler));
    }
    std::error_code failure() override { return m_tls->failure(); }
    asio::any_io_executor executor() override { return m_tls->executor(); }
    void shutdownSend() override { m_tls->shutdownSend(); }
    void close() override { m_tls->close(); }
    void abort() override { m_tls->abort(); }
    std::string peer() const override { return m_tls->peer(); }

    asio::io_context &home() const { return *m_home; }
    void exemptFromSource() { m_slot->exemptFromSource(); }
    // The two connections of a stream are accepted apart, likely on different threads;
    // spliced, they must share one. Call on this one's thread, with nothing outstanding.
    void moveNextTo(const Connection &other)
    {
        m_tls->moveTo(*other.m_home);
        m_home = other.m_home;
        m_thread = other.m_thread;
        m_slot->moveTo(m_thread);
    }

private:
    wire::TlsStream::Ptr m_tls;
    asio::io_context *m_home;
    std::size_t m_thread;
    std::shared_ptr<Slot> m_slot;
};

using ConnectionPtr = std::shared_ptr<Connection>;

// A plain TCP connection that joins a stream (a PC's, an agent's, another relay's): after its
// one request line the relay only moves its bytes, the stream's own TLS, which it cannot read.
struct DataConnection
{
    DataConnection(asio::ip::tcp::socket s, asio::io_context &h, std::size_t t, std::shared_ptr<Slot> sl,
                   std::string p)
        : socket(std::move(s)), home(&h), thread(t), slot(std::move(sl)), peer(std::move(p))
    {
    }
    asio::ip::tcp::socket socket;
    asio::io_context *home;
    std::size_t thread;
    std::shared_ptr<Slot> slot;
    std::string peer;

    // See Connection::moveNextTo.
    void moveNextTo(const DataConnection &other)
    {
        wire::moveSocket(socket, *other.home);
        home = other.home;
        thread = other.thread;
        if (slot) // none for connections this relay made itself
            slot->moveTo(thread);
    }
};

using DataPtr = std::shared_ptr<DataConnection>;

} // namespace relay
