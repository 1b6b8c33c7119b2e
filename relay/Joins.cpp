#include "relay/Joins.h"

#include <algorithm>

namespace relay {

const char *Joins::fateText(Fate fate)
{
    switch (fate) {
    case Fate::Joined:
        return "joined";
    case Fate::Unknown:
        return "unknown stream";
    case Fate::Used:
        return "stream already joined (replayed)";
    case Fate::Expired:
        return "expired stream";
    case Fate::NotARelay:
        return "stream only another relay of the cluster may join";
    }
    return "?";
}

void Joins::expect(const std::string &join, bool fromRelay, asio::io_context &home, std::chrono::milliseconds life,
                   OnJoin onJoin, OnExpire onExpire)
{
    auto timer = std::make_shared<asio::steady_timer>(home, life);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waiting[join] = Entry {fromRelay, std::move(onJoin), timer};
    }
    // Armed after the entry is in: whoever takes it cancels a wait that exists. A take that
    // came in between finds the timer cancelled before it ever waits, which is the same.
    timer->async_wait([this, join, timer, onExpire = std::move(onExpire)](const std::error_code &ec) {
        if (ec)
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto it = m_waiting.find(join);
            if (it == m_waiting.end() || it->second.timer != timer)
                return;
            m_waiting.erase(it);
            remember(join, Fate::Expired);
        }
        onExpire();
    });
}

Joins::Fate Joins::take(const std::string &join, bool signedByRelay, OnJoin *onJoin)
{
    std::shared_ptr<asio::steady_timer> timer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_waiting.find(join);
        if (it == m_waiting.end())
            return recentFate(join);
        if (it->second.fromRelay && !signedByRelay)
            return Fate::NotARelay;
        *onJoin = std::move(it->second.onJoin);
        timer = std::move(it->second.timer);
        m_waiting.erase(it);
        remember(join, Fate::Used);
    }
    // The timer's own thread may be another; a cancel that races its expiry is harmless, the
    // handler finds no entry.
    asio::post(timer->get_executor(), [timer] { timer->cancel(); });
    return Fate::Joined;
}

void Joins::cancel(const std::string &join)
{
    std::shared_ptr<asio::steady_timer> timer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_waiting.find(join);
        if (it == m_waiting.end())
            return;
        timer = std::move(it->second.timer);
        m_waiting.erase(it);
        remember(join, Fate::Expired);
    }
    asio::post(timer->get_executor(), [timer] { timer->cancel(); });
}

void Joins::remember(const std::string &join, Fate fate)
{
    Recent &r = m_recent[m_nextRecent];
    m_nextRecent = (m_nextRecent + 1) % m_recent.size();
    std::copy_n(join.begin(), std::min(join.size(), r.join.size()), r.join.begin());
    r.fate = fate;
    r.at = std::chrono::steady_clock::now();
}

Joins::Fate Joins::recentFate(const std::string &join) const
{
    const auto now = std::chrono::steady_clock::now();
    for (const Recent &r : m_recent)
        if (r.fate != Fate::Unknown && now - r.at <= kRemembered && join.size() == r.join.size()
            && std::equal(r.join.begin(), r.join.end(), join.begin()))
            return r.fate;
    return Fate::Unknown;
}

} // namespace relay
