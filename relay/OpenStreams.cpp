#include "relay/OpenStreams.h"

namespace relay {

namespace {
class StopCategory : public std::error_category
{
public:
    const char *name() const noexcept override { return "talvo-relay"; }
    std::string message(int value) const override
    {
        return StreamStop(value) == StreamStop::Revoked ? "revoked" : "relay stopped";
    }
};
} // namespace

std::error_code make_error_code(StreamStop stop)
{
    static const StopCategory category;
    return {int(stop), category};
}

std::uint64_t OpenStreams::add(Stream stream, std::weak_ptr<wire::SocketSplice> splice)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::uint64_t key = m_next++;
    m_open.emplace(key, Entry {std::move(stream), std::move(splice)});
    return key;
}

void OpenStreams::attach(std::uint64_t key, std::weak_ptr<wire::SocketSplice> splice)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_open.find(key);
    if (it != m_open.end())
        it->second.splice = std::move(splice);
}

bool OpenStreams::remove(std::uint64_t key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open.erase(key) != 0;
}

std::size_t OpenStreams::revokeIf(const std::function<bool(const Stream &)> &revoked)
{
    std::vector<std::shared_ptr<wire::SocketSplice>> stop;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto &[key, entry] : m_open)
            if (revoked(entry.stream))
                if (auto splice = entry.splice.lock())
                    stop.push_back(std::move(splice));
    }
    // Outside the lock: a splice on this very thread may finish and remove itself at once.
    for (const auto &splice : stop)
        splice->stop(StreamStop::Revoked);
    return stop.size();
}

std::vector<OpenStreams::Stream> OpenStreams::stopAll()
{
    std::vector<Stream> streams;
    std::vector<std::shared_ptr<wire::SocketSplice>> stop;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto &[key, entry] : m_open) {
            streams.push_back(entry.stream);
            if (auto splice = entry.splice.lock())
                stop.push_back(std::move(splice));
        }
        m_open.clear();
    }
    for (const auto &splice : stop)
        splice->stop(StreamStop::RelayStopped);
    return streams;
}


} // namespace relay
