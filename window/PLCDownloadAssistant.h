#pragma once

#include "engine/ChannelController.h"

#include <QStringList>
#include <QWidget>

class QTranslator;
class Installers;
class MessageBoxes;

namespace Ui {
class PLCDownloadAssistant;
}

// The tool's one window: the panel's SN, the connection type, and the buttons that open
// and close a channel.
class PLCDownloadAssistant : public QWidget
{
    Q_OBJECT

public:
    explicit PLCDownloadAssistant(QWidget *parent = nullptr);
    ~PLCDownloadAssistant() override;

    // Language code: 0 English, anything else but 1 too; 1 Chinese.
    void changeLanguage(int language);

    void setSnList(const QStringList &list);
    void initSnCompleter();
    void setStrSn(const QString &sn);
    void saveCurSel(const QString &sn);
    int loadCurSel();

    bool checkPrerequisites();

    QString getDeviceSn() const;
    QString getPlcIp() const;
    QString getPlcPort() const;

    // Seams for tests; none is owned, null restores the default. The bridge, tunnel clients
    // and waits are the channel controller's.
    void setMessageBoxes(MessageBoxes *boxes);
    void setInstallers(Installers *installers);
    void setBridge(PCapOperator *bridge) { m_channels->setBridge(bridge); }
    void setTunnelClients(TunnelClientFactory factory) { m_channels->setTunnelClients(std::move(factory)); }
    void setEventWait(EventWait *wait) { m_channels->setEventWait(wait); }
    PLCDownloadPassThrough *passThrough() const { return m_channels->passThrough(); }

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private slots:
    void on_pushButtonCreateChannel_clicked();
    void slotSetSnText(QString text);
    void slotSetSnText(int index);
    void onFuncChanged(int index);
    void onEditSnFinished();
    void onStateChanged(PLCDownloadPassThrough::State state);
    void on_pushButtonDisConnectChannel_clicked();
    void slot_DisConnectChannel();
    void setTipText(QString str);

private:
    void showTip(ChannelController::Tip code, const QString &argument);

    QTranslator *m_translator = nullptr;
    Ui::PLCDownloadAssistant *ui;
    ChannelController *m_channels;
    QString m_strSn;
    QStringList m_snList;
    bool m_firstShow = true;

    MessageBoxes *m_boxes;
    Installers *m_installers;
};
