#include "window/Installers.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QObject>
#include <QPointer>
#include <QProcess>

namespace {
// One script sets up both the bridge adapter and the helper's capture rights; it asks for
// the administrator's password itself (pkexec) when it needs to.
class LinuxInstallers : public Installers
{
public:
    explicit LinuxInstallers(const QString &folder)
        : m_script(folder + QStringLiteral("/setup-adapter"))
    {
    }
    ~LinuxInstallers() override
    {
        // The script goes on without the window; it must not be killed halfway.
        if (m_process)
            m_process->disconnect();
    }

    QString tapQuestion() const override
    {
        return QObject::tr("未检测到桥接网卡talvo0,是否现在用setup-adapter设置(需要管理员密码)？");
    }
    QString pcapQuestion() const override
    {
        return QObject::tr("抓包助手talvo-bridge-helper没有抓包权限,是否现在用setup-adapter授权(需要管理员密码)？");
    }
    void installTap(const Report &report) override { start(report); }
    void installPcap(const Report &report) override { start(report); }

private:
    // Both questions lead here: a script still running from the first answer is not
    // started a second time.
    void start(const Report &report)
    {
        if (m_process && m_process->state() != QProcess::NotRunning)
            return;
        if (!QFileInfo(m_script).isExecutable()) {
            report(QObject::tr("无法启动%1：文件不存在或不可执行").arg(m_script));
            return;
        }
        m_process = new QProcess;
        m_process->setProgram(m_script);
        QObject::connect(m_process.data(), &QProcess::errorOccurred, m_process.data(),
                         [process = m_process.data(), report, script = m_script](QProcess::ProcessError error) {
                             if (error == QProcess::FailedToStart) {
                                 report(QObject::tr("无法启动%1：%2").arg(script, process->errorString()));
                                 process->deleteLater();
                             }
                         });
        QObject::connect(m_process.data(), qOverload<int, QProcess::ExitStatus>(&QProcess::finished),
                         m_process.data(), [process = m_process.data(), report, script = m_script](int code, QProcess::ExitStatus status) {
                             if (status != QProcess::NormalExit || code != 0) {
                                 // Its last line says why (no pkexec, password refused, ...).
                                 const QList<QByteArray> lines = process->readAllStandardError().trimmed().split('\n');
                                 report(QObject::tr("%1 失败：%2").arg(script, QString::fromLocal8Bit(lines.last())));
                             } else {
                                 // A note such as "log in again" matters more than "ready".
                                 const QByteArray last = process->readAllStandardOutput().trimmed().split('\n').last();
                                 report(last.isEmpty() || last.endsWith(" ready")
                                            ? QObject::tr("桥接网卡已设置好,请再次点击开始")
                                            : QString::fromLocal8Bit(last));
                             }
                             process->deleteLater();
                         });
        m_process->start();
    }

    QString m_script;
    QPointer<QProcess> m_process;
};
}

Installers *Installers::standard()
{
    static LinuxInstallers installers(QCoreApplication::applicationDirPath());
    return &installers;
}

std::unique_ptr<Installers> Installers::inFolder(const QString &folder)
{
    return std::make_unique<LinuxInstallers>(folder);
}
