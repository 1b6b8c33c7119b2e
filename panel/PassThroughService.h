#pragma once

#include "panel/InProcessService.h"
#include "panel/PassThroughConfig.h"

namespace panel {

// The panel's pass-through service: every stream the PC opens to it becomes a session.
class PassThroughService : public InProcessService
{
public:
    PassThroughService(asio::io_context &io, PassThroughConfig config);
    void serve(wire::StreamPtr stream) override;

private:
    asio::io_context &m_io;
    std::shared_ptr<const PassThroughConfig> m_config;
};

} // namespace panel
