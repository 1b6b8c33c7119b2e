#pragma once

// Starts the installers of what the Ethernet bridge needs. Started, never waited for: the
// operator tries the channel again once they are done.
class Installers
{
public:
    virtual ~Installers() = default;
    virtual void installTap() = 0;
    virtual void installPcap() = 0;

    // This platform's installers, found beside the executable.
    static Installers *standard();
};
