#include "panel/PassThroughService.h"

#include "panel/PassThroughSession.h"

namespace panel {

PassThroughService::PassThroughService(asio::io_context &io, PassThroughConfig config)
    : m_io(io)
    , m_config(std::make_shared<const PassThroughConfig>(std::move(config)))
{
}

void PassThroughService::serve(wire::StreamPtr stream)
{
    std::make_shared<PassThroughSession>(m_io, std::move(stream), m_config)->start();
}

} // namespace panel
