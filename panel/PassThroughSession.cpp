#include "panel/PassThroughSession.h"

#include "wire/Log.h"

namespace panel {

PassThroughSession::PassThroughSession(asio::io_context &io, wire::StreamPtr stream,
                                       std::shared_ptr<const PassThroughConfig> config)
    : m_stream(std::move(stream))
    , m_config(std::move(config))
    , m_nameTimer(io)
    , m_helloTimer(io)
{
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
    for (const PcMessage &m : messages) {
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
            send("PCPMACIP#" + m_config->announceMac + "#" + m_config->announceIp + "#");
            break;
        case PcMessage::PortAnnouncement: {
            m_greeted = true;
            const auto port = m_config->serialPorts.find(m.payload);
            if (port == m_config->serialPorts.end()) {
                wire::logLine("pass-through: serial port " + m.payload + " is not configured");
                send("COM#NULL");
                break;
            }
            m_serialPort = m.payload;
            send("COM#" + m.payload + " ready (" + port->second + ")");
            break;
        }
        case PcMessage::Disconnect:
            finish("PC disconnected");
            return;
        case PcMessage::SerialData:
        case PcMessage::EthernetFrame:
            // The serial and Ethernet sides of the panel take these; until they are there,
            // the data has nowhere to go.
            break;
        case PcMessage::Junk:
            wire::logLine("pass-through: skipped " + std::to_string(m.payload.size()) + " bytes that fit no message");
            break;
        }
    }
}

void PassThroughSession::send(std::string bytes)
{
    if (m_finished)
        return;
    if (m_queuedBytes + bytes.size() > kMaxQueuedBytes) {
        finish("PC does not read");
        return;
    }
    m_queuedBytes += bytes.size();
    m_queue.push_back(std::move(bytes));
    if (!m_writing)
        writeNext();
}

void PassThroughSession::writeNext()
{
    if (m_queue.empty() || m_finished) {
        m_writing = false;
        return;
    }
    m_writing = true;
    m_stream->writeAll(asio::buffer(m_queue.front()),
                       [self = shared_from_this()](const std::error_code &ec, std::size_t) {
                           if (ec) {
                               self->finish(ec.message());
                               return;
                           }
                           self->m_queuedBytes -= self->m_queue.front().size();
                           self->m_queue.pop_front();
                           self->writeNext();
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
    m_stream->close();
}

} // namespace panel
