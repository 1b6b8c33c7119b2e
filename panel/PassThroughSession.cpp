#include "panel/PassThroughSession.h"

#include "framing/TunnelFraming.h"
#include "wire/Log.h"

namespace panel {

using framing::PcMessage;
using framing::PcMessageParser;

PassThroughSession::PassThroughSession(asio::io_context &io, wire::StreamPtr stream,
                                       std::shared_ptr<const PassThroughConfig> config)
    : m_stream(std::move(stream))
    , m_config(std::move(config))
    , m_nameTimer(io)
    , m_helloTimer(io)
    , m_writes(kMaxQueuedBytes)
    , m_io(io)
{
    // Waiting for a name that may still grow costs the channel's start the idle time; a
    // name this panel serves that no longer name extends is whole now. In the Ethernet mode
    // the name only tells the mode, so any name is answered at once.
    m_parser = PcMessageParser([ports = m_config](int kind, const std::string &name) {
        if (kind == PcMessage::ModeAnnouncement)
            return !name.empty();
        if (kind != PcMessage::PortAnnouncement || !ports->serialPorts.count(name))
            return false;
        for (const auto &port : ports->serialPorts)
            if (port.first.size() > name.size() && port.first.compare(0, name.size(), name) == 0)
                return false;
        return true;
    });
}

PassThroughSession::~PassThroughSession()
{
    closeSides();
}

// The sides call back through a weak pointer: a session that has ended hears nothing.
PortSideEvents PassThroughSession::eventsFor(bool ethernet)
{
    std::weak_ptr<PassThroughSession> weak = shared_from_this();
    PortSideEvents events;
    events.toPc = [weak, ethernet](std::string bytes) {
        const auto self = weak.lock();
        if (!self)
            return;
        if (!ethernet) {
            self->send(std::move(bytes));
            return;
        }
        std::string envelope;
        if (framing::appendEthernetEnvelope(envelope, reinterpret_cast<const unsigned char *>(bytes.data()),
                                            bytes.size()))
            self->send(std::move(envelope));
        else
            self->countUnsendable(bytes.size());
    };
    events.report = [](const std::string &line) { wire::logLine("pass-through: " + line); };
    events.pcBacklog = [weak]() -> std::size_t {
        const auto self = weak.lock();
        return self ? self->m_writes.bytes() : 0;
    };
    return events;
}

void PassThroughSession::closeSides()
{
    if (m_serial)
        m_serial->close();
    if (m_ethernet)
        m_ethernet->close();
    m_serial.reset();
    m_ethernet.reset();
}

void PassThroughSession::start()
{
    wire::logLine("pass-through: connection from " + m_stream->peer());
    m_helloTimer.expires_after(kHelloTimeout);
    m_helloTimer.async_wait([self = shared_from_this()](const std::error_code &ec) {
        if (!ec && !self->m_greeted)
            self->finish("nothing announced within 30 s");
    });
    read();
}

void PassThroughSession::read()
{
    m_stream->readSome(asio::buffer(m_readBuffer),
                       [self = shared_from_this()](const std::error_code &ec, std::size_t n) {
                           if (self->m_finished)
                               return;
                           if (ec) {
                               self->finish(wire::isEndOfStream(ec) ? "PC closed" : ec.message());
                               return;
                           }
                           self->handle(self->m_parser.feed(self->m_readBuffer.data(), n));
                           if (self->m_finished)
                               return;
                           if (self->m_parser.holdsName()) {
                               self->m_nameTimer.expires_after(kNameIdle);
                               self->m_nameTimer.async_wait([self](const std::error_code &ec) {
                                   if (!ec && !self->m_finished && self->m_parser.holdsName())
                                       self->handle(self->m_parser.flushName());
                               });
                           }
                           self->read();
                       });
}

void PassThroughSession::handle(const std::vector<PcMessage> &messages)
{
    // The frames of one read leave together; anything else between them goes in its turn.
    std::vector<const std::string *> frames;
    auto sendFrames = [&] {
        if (m_ethernet && !frames.empty() && !m_finished)
            m_ethernet->sendFrames(frames);
        frames.clear();
    };
    for (const PcMessage &m : messages) {
        if (m.kind == PcMessage::EthernetFrame) {
            frames.push_back(&m.payload);
            continue;
        }
        sendFrames();
        if (m_finished)
            return;
        switch (m.kind) {
        case PcMessage::ModeAnnouncement:
            m_greeted = true;
            // In the serial mode the port announcement came first and the name is empty.
            if (m.payload.empty())
                break;
            if (m_config->announceMac.empty() || m_config->announceIp.empty()) {
                wire::logLine("pass-through: Ethernet port " + m.payload + " asked for, but none is configured");
                break;
            }
            if (!m_ethernet && m_config->openEthernet && !m_config->ethernet.empty()) {
                std::string error;
                m_ethernet = m_config->openEthernet(m_io, m_config->ethernet, eventsFor(true), &error);
                if (!m_ethernet) {
                    // Announcing anyway would tell the PC its channel works while no frame
                    // can pass; unanswered, the PC reports a time-out instead.
                    wire::logLine("pass-through: Ethernet interface " + m_config->ethernet + ": " + error
                                  + "; not announced");
                    break;
                }
            }
            send(framing::macIpAnnouncement(m_config->announceMac, m_config->announceIp));
            break;
        case PcMessage::PortAnnouncement: {
            m_greeted = true;
            const auto port = m_config->serialPorts.find(m.payload);
            if (port == m_config->serialPorts.end()) {
                wire::logLine("pass-through: serial port " + m.payload + " is not configured");
                send(framing::portRefused());
                break;
            }
            if (m_serial) {
                m_serial->close();
                m_serial.reset();
            }
            std::string error;
            if (m_config->openSerial)
                m_serial = m_config->openSerial(m_io, m.payload, eventsFor(false), &error);
            else
                error = "no serial side in this agent";
            if (!m_serial) {
                wire::logLine("pass-through: serial port " + m.payload + " (" + port->second + "): " + error);
                send(framing::portRefused());
                break;
            }
            // The device path is the panel's business: the PC is told the port name only.
            wire::logLine("pass-through: serial port " + m.payload + " (" + port->second + ") open");
            send(framing::portAccepted(m.payload));
            break;
        }
        case PcMessage::Disconnect:
            finish("PC disconnected");
            return;
        case PcMessage::SerialData:
            if (m_serial)
                m_serial->send(m.payload);
            break;
        case PcMessage::EthernetFrame:
            break;
        case PcMessage::Junk:
            wire::logLine("pass-through: skipped " + std::to_string(m.payload.size()) + " bytes that fit no message");
            break;
        case PcMessage::OversizedFrame:
            wire::logLine("pass-through: dropped " + std::to_string(m.payload.size())
                          + " bytes of a frame longer than the link carries");
            break;
        }
    }
    sendFrames();
}

// Frames the PC's stack could not take (shorter than their headers say, longer than the
// link): counted, and logged now and then rather than once per frame.
void PassThroughSession::countUnsendable(std::size_t size)
{
    if (++m_unsendable == 1 || m_unsendable % 1000 == 0)
        wire::logLine("pass-through: " + std::to_string(m_unsendable) + " malformed or oversized frame(s) from the"
                      " Ethernet port not carried (last " + std::to_string(size) + " bytes)");
}

void PassThroughSession::send(std::string bytes)
{
    if (m_finished)
        return;
    const auto pushed = m_writes.push(std::move(bytes));
    if (pushed == wire::WriteQueue::Push::Overflow)
        return finish("PC does not read");
    if (pushed == wire::WriteQueue::Push::Start)
        writeFront();
}

void PassThroughSession::writeFront()
{
    // Frames from the Ethernet port arrive one by one while a write is under way; sent
    // together they cost one TLS record and one send instead of one per frame.
    m_writes.joinFront(kWriteBatchBytes);
    m_stream->writeAll(asio::buffer(m_writes.front()),
                       [self = shared_from_this()](const std::error_code &ec, std::size_t) {
                           if (ec)
                               return self->finish(ec.message());
                           if (self->m_writes.pop() && !self->m_finished)
                               self->writeFront();
                       });
}

void PassThroughSession::finish(const std::string &why)
{
    if (m_finished)
        return;
    m_finished = true;
    wire::logLine("pass-through: connection from " + m_stream->peer() + " ends: " + why);
    m_nameTimer.cancel();
    m_helloTimer.cancel();
    closeSides();
    m_stream->close();
}

} // namespace panel
