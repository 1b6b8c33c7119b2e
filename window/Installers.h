#pragma once

#include <QString>

#include <functional>
#include <memory>

// Starts the installers of what the Ethernet bridge needs, and words the questions that
// lead to them the way this platform's user will meet them. Started, never waited for: the
// operator tries the channel again once they are done.
class Installers
{
public:
    // Tells the operator, on the GUI thread, why an installer could not be started or did
    // not succeed, or that it is done when that is known.
    using Report = std::function<void(const QString &)>;

    virtual ~Installers() = default;
    virtual QString tapQuestion() const = 0;
    virtual QString pcapQuestion() const = 0;
    virtual void installTap(const Report &report) = 0;
    virtual void installPcap(const Report &report) = 0;

    // This platform's installers, found beside the executable.
    static Installers *standard();
    // The same, found in folder (for tests).
    static std::unique_ptr<Installers> inFolder(const QString &folder);
};
