#include "panel/SerialSide.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <map>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace panel {

namespace {

struct Speed
{
    unsigned baud;
    speed_t code;
};

// The rates termios can name; anything else would be silently replaced by a driver default.
constexpr Speed kSpeeds[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300},
    {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
    {460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool speedCode(unsigned baud, speed_t *code)
{
    for (const Speed &s : kSpeeds) {
        if (s.baud == baud) {
            *code = s.code;
            return true;
        }
    }
    return false;
}

bool parseNumber(const std::string &text, unsigned *value)
{
    if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = unsigned(std::stoul(text));
    return true;
}

bool isPseudoTerminal(int fd)
{
    struct stat st {};
    const unsigned major = ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) ? ::major(st.st_rdev) : 0;
    return major >= 136 && major <= 143; // the Unix 98 pseudo-terminals' slave ends
}

std::string errnoText()
{
    return std::strerror(errno);
}

struct PortHolders
{
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<SerialSide>> byPort;
    std::uint64_t made = 0;
};

PortHolders &holders()
{
    static PortHolders h;
    return h;
}

} // namespace

bool SerialLine::set(const std::string &key, const std::string &value, std::string *why)
{
    unsigned number = 0;
    speed_t code;
    if (key == "baud") {
        if (!parseNumber(value, &number) || !speedCode(number, &code)) {
            *why = "not a baud rate the serial driver knows (e.g. 9600, 19200, 115200)";
            return false;
        }
        baud = number;
    } else if (key == "parity") {
        if (value == "none")
            parity = 'N';
        else if (value == "even")
            parity = 'E';
        else if (value == "odd")
            parity = 'O';
        else {
            *why = "parity is none, even or odd";
            return false;
        }
    } else if (key == "data") {
        if (!parseNumber(value, &number) || number < 5 || number > 8) {
            *why = "data bits are 5, 6, 7 or 8";
            return false;
        }
        dataBits = number;
    } else if (key == "stop") {
        if (value != "1" && value != "2") {
            *why = "stop bits are 1 or 2";
            return false;
        }
        stopBits = unsigned(value[0] - '0');
    } else {
        *why = "unknown setting (baud, parity, data, stop)";
        return false;
    }
    return true;
}

std::string SerialLine::text() const
{
    return std::to_string(baud) + " " + std::to_string(dataBits) + parity + std::to_string(stopBits);
}

std::size_t MarkedInput::decode(const char *data, std::size_t size, std::string &out)
{
    std::size_t damaged = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        switch (m_state) {
        case Plain:
            if (c == '\xff')
                m_state = AfterMark;
            else
                out += c;
            break;
        case AfterMark:
            if (c == '\0') {
                m_state = AfterErrorMark;
            } else {
                // 0xFF 0xFF; anything else cannot follow a mark and is kept rather than lost.
                if (c != '\xff')
                    out += '\xff';
                out += c;
                m_state = Plain;
            }
            break;
        case AfterErrorMark:
            out += c;
            ++damaged;
            m_state = Plain;
            break;
        }
    }
    return damaged;
}

SerialSide::SerialSide(asio::io_context &io, const std::string &port, const std::string &device,
                       const SerialLine &line, PortSideEvents events)
    : m_device(io)
    , m_retryTimer(io)
    , m_backlogTimer(io)
    , m_port(port)
    , m_path(device)
    , m_line(line)
    , m_events(std::move(events))
    , m_writes(kMaxQueuedBytes)
    , m_order([] {
        std::lock_guard<std::mutex> lock(holders().mutex);
        return ++holders().made;
    }())
{
}

bool SerialSide::claimPort()
{
    std::shared_ptr<SerialSide> older;
    {
        std::lock_guard<std::mutex> lock(holders().mutex);
        std::weak_ptr<SerialSide> &holder = holders().byPort[m_port];
        std::shared_ptr<SerialSide> other = holder.lock();
        if (other && other.get() != this && !other->m_closed) {
            if (other->m_order > m_order)
                return false;
            older = other;
        }
        holder = shared_from_this();
    }
    if (older)
        older->takenOver();
    return true;
}

void SerialSide::takenOver()
{
    report("a newer session took the port over; this one no longer reaches the device");
    close();
}

SerialSide::~SerialSide()
{
    std::error_code ignored;
    m_device.close(ignored);
}

std::shared_ptr<SerialSide> SerialSide::open(asio::io_context &io, const std::string &port,
                                             const std::string &device, const SerialLine &line,
                                             PortSideEvents events, std::string *error)
{
    std::shared_ptr<SerialSide> side(new SerialSide(io, port, device, line, std::move(events)));
    if (!side->openDevice(error))
        return nullptr;
    side->claimPort();
    side->report("open at " + line.text());
    side->read();
    return side;
}

void SerialSide::report(const std::string &line)
{
    if (m_events.report)
        m_events.report("serial " + m_port + " (" + m_path + "): " + line);
}

bool SerialSide::openDevice(std::string *error)
{
    // Non-blocking: neither a missing carrier nor a stuck driver may hold up the agent.
    const int fd = ::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errnoText();
        return false;
    }
    auto fail = [&](const std::string &why) {
        *error = why;
        ::close(fd);
        return false;
    };
    termios t {};
    if (!::isatty(fd) || ::tcgetattr(fd, &t) != 0)
        return fail("not a serial device");
    speed_t speed = B9600;
    speedCode(m_line.baud, &speed);

    ::cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag |= m_line.dataBits == 5 ? CS5 : m_line.dataBits == 6 ? CS6 : m_line.dataBits == 7 ? CS7 : CS8;
    if (m_line.parity != 'N')
        t.c_cflag |= PARENB | (m_line.parity == 'O' ? PARODD : 0);
    if (m_line.stopBits == 2)
        t.c_cflag |= CSTOPB;
    t.c_iflag &= ~(IXON | IXOFF | IXANY | IGNPAR | IGNBRK | BRKINT | ISTRIP);
    t.c_iflag |= INPCK | PARMRK; // see MarkedInput
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (::tcsetattr(fd, TCSANOW, &t) != 0)
        return fail("cannot set " + m_line.text() + ": " + errnoText());
    // tcsetattr succeeds when any one setting took; a driver that refused the rate or the
    // frame shows it only here. A pseudo-terminal has no line and always frames 8N.
    const tcflag_t frame = CSIZE | PARENB | PARODD | CSTOPB;
    const tcflag_t checked = isPseudoTerminal(fd) ? tcflag_t(CSTOPB) : frame;
    termios check {};
    if (::tcgetattr(fd, &check) != 0 || ::cfgetospeed(&check) != speed
        || (check.c_cflag & checked) != (t.c_cflag & checked))
        return fail("the device does not take " + m_line.text());
    // What the device sent before this session is nobody's answer.
    ::tcflush(fd, TCIOFLUSH);

    std::error_code ec;
    m_device.assign(fd, ec);
    if (ec)
        return fail(ec.message());
    ++m_generation;
    m_openedAt = std::chrono::steady_clock::now();
    m_marks.reset();
    m_driverOverruns = -1;
    m_pauseReported = false;
    reportLostInDriver(); // the count to compare with later
    return true;
}

void SerialSide::read()
{
    m_device.async_read_some(
        asio::buffer(m_readBuffer),
        [self = shared_from_this(), generation = m_generation](const std::error_code &ec, std::size_t n) {
            if (self->m_closed || generation != self->m_generation)
                return;
            if (ec) {
                // A tty that is hung up (adapter pulled, pseudo-terminal's master gone)
                // reads as end of file or EIO.
                self->gone(ec == asio::error::eof ? std::string("device hung up") : ec.message());
                return;
            }
            std::string bytes;
            bytes.reserve(n);
            const std::size_t damaged = self->m_marks.decode(self->m_readBuffer.data(), n, bytes);
            if (damaged) {
                self->m_lineErrors += damaged;
                self->reportLineErrors(false);
            }
            if (!bytes.empty() && self->m_events.toPc)
                self->m_events.toPc(std::move(bytes));
            if (!self->m_closed && generation == self->m_generation)
                self->readWhenPcCatchesUp(generation);
        });
}

void SerialSide::readWhenPcCatchesUp(unsigned generation)
{
    const std::size_t backlog = m_events.pcBacklog ? m_events.pcBacklog() : 0;
    if (backlog <= kMaxPcBacklog) {
        if (m_pauseReported) {
            m_pauseReported = false;
            reportLostInDriver();
        }
        read();
        return;
    }
    if (!m_pauseReported) {
        m_pauseReported = true;
        report("the PC reads slower than the device sends: the device is read again when it catches up");
    }
    m_backlogTimer.expires_after(kBacklogCheck);
    m_backlogTimer.async_wait([self = shared_from_this(), generation](const std::error_code &ec) {
        if (!ec && !self->m_closed && generation == self->m_generation)
            self->readWhenPcCatchesUp(generation);
    });
}

// A UART whose input was not read in time loses bytes in its driver; the driver counts
// them (pseudo-terminals and some USB adapters do not, and say nothing).
void SerialSide::reportLostInDriver()
{
    serial_icounter_struct counts {};
    if (!m_device.is_open() || ::ioctl(m_device.native_handle(), TIOCGICOUNT, &counts) != 0)
        return;
    const int overruns = counts.overrun + counts.buf_overrun;
    if (m_driverOverruns >= 0 && overruns > m_driverOverruns)
        report("the device's driver lost " + std::to_string(overruns - m_driverOverruns)
               + " bytes it could not hold (overruns)");
    m_driverOverruns = overruns;
}

void SerialSide::send(const std::string &bytes)
{
    if (m_closed || bytes.empty())
        return;
    if (!m_device.is_open()) {
        drop(bytes.size(), "the device is gone");
        return;
    }
    const auto pushed = m_writes.push(bytes);
    if (pushed == wire::WriteQueue::Push::Overflow)
        drop(bytes.size(), "the device does not take them as fast as the PC sends");
    else if (pushed == wire::WriteQueue::Push::Start)
        writeFront();
}

void SerialSide::writeFront()
{
    asio::async_write(
        m_device, asio::buffer(m_writes.front()),
        [self = shared_from_this(), generation = m_generation](const std::error_code &ec, std::size_t) {
            if (self->m_closed || generation != self->m_generation)
                return;
            if (ec)
                return self->gone(ec.message());
            if (self->m_writes.pop())
                self->writeFront();
            else
                self->reportDrops(true);
        });
}

void SerialSide::gone(const std::string &why)
{
    if (!m_device.is_open())
        return;
    ++m_generation; // handlers still pending belong to the device that went
    std::error_code ignored;
    m_device.close(ignored);
    const std::size_t unsent = m_writes.bytes();
    m_writes.clear();
    report("device gone (" + why + "); data from the PC is dropped until it returns");
    if (unsent)
        drop(unsent, "the device went away before they were written");
    reportLineErrors(true);
    const auto now = std::chrono::steady_clock::now();
    // A device that hangs up again right after each reopen must not fill the log: the pause
    // keeps growing until it stayed a while.
    m_retryDelay = now - m_openedAt < kSettled ? std::min(m_retryDelay * 2, kMaxRetry) : kFirstRetry;
    m_goneSince = now;
    scheduleRetry();
}

void SerialSide::scheduleRetry()
{
    m_retryTimer.expires_after(m_retryDelay);
    m_retryTimer.async_wait([self = shared_from_this()](const std::error_code &ec) {
        if (ec || self->m_closed)
            return;
        std::string error;
        if (!self->openDevice(&error)) {
            self->m_retryDelay = std::min(self->m_retryDelay * 2, kMaxRetry);
            self->scheduleRetry();
            return;
        }
        if (!self->claimPort()) {
            self->report("device back, but a newer session has the port");
            self->close();
            return;
        }
        const auto away = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - self->m_goneSince);
        self->report("device back after " + std::to_string(away.count()) + " ms, open at " + self->m_line.text());
        self->reportDrops(true);
        self->read();
    });
}

void SerialSide::drop(std::size_t bytes, const char *why)
{
    if (m_droppedBytes && m_dropReason != why)
        reportDrops(true);
    m_droppedBytes += bytes;
    m_dropReason = why;
    reportDrops(false);
}

void SerialSide::reportDrops(bool now)
{
    if (!m_droppedBytes)
        return;
    const auto time = std::chrono::steady_clock::now();
    if (!now && time - m_lastDropReport < kReportEvery)
        return;
    report("dropped " + std::to_string(m_droppedBytes) + " bytes from the PC: " + m_dropReason);
    m_droppedBytes = 0;
    m_lastDropReport = time;
}

void SerialSide::reportLineErrors(bool now)
{
    if (!m_lineErrors)
        return;
    const auto time = std::chrono::steady_clock::now();
    if (!now && time - m_lastLineErrorReport < kReportEvery)
        return;
    report(std::to_string(m_lineErrors) + " bytes received with a parity or framing error or as a break"
           " (passed on as received; check " + m_line.text() + " against the device)");
    m_lineErrors = 0;
    m_lastLineErrorReport = time;
}

void SerialSide::close()
{
    if (m_closed)
        return;
    reportDrops(true);
    reportLineErrors(true);
    reportLostInDriver();
    if (m_device.is_open()) {
        // A UART's driver waits on close until its output is sent, up to half a minute,
        // and the agent's one thread would wait with it: what is still unsent is dropped.
        int unsentInDriver = 0;
        ::ioctl(m_device.native_handle(), TIOCOUTQ, &unsentInDriver);
        ::tcflush(m_device.native_handle(), TCIOFLUSH);
        const std::size_t unsent = m_writes.bytes() + std::size_t(std::max(unsentInDriver, 0));
        if (unsent)
            report("closed with " + std::to_string(unsent) + " bytes from the PC not yet sent; they are dropped");
        std::error_code ignored;
        m_device.close(ignored);
    }
    m_closed = true;
    m_retryTimer.cancel();
    m_backlogTimer.cancel();
    m_writes.clear();
}

PassThroughConfig::OpenSide serialOpener(const PassThroughConfig &config)
{
    return [devices = config.serialPorts, lines = config.serialLines](
               asio::io_context &io, const std::string &port, PortSideEvents events, std::string *error) -> PortSidePtr {
        const auto device = devices.find(port);
        if (device == devices.end()) {
            *error = "not configured";
            return nullptr;
        }
        const auto line = lines.find(port);
        return SerialSide::open(io, port, device->second, line == lines.end() ? SerialLine {} : line->second,
                                std::move(events), error);
    };
}

} // namespace panel
