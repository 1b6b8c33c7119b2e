#pragma once

#include "engine/PLCDownloadPassThrough.h"
#include "tunnel/TunnelClients.h"

#include <QStringList>
#include <QWidget>

class QTranslator;
class EventWait;
class Installers;
class MessageBoxes;
class PCapOperator;

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

    // Seams for tests; none is owned, null restores the default. The engine, once made,
    // takes its tunnel clients and waits from the window.
    void setMessageBoxes(MessageBoxes *boxes);
    void setBridge(PCapOperator *bridge);
    void setInstallers(Installers *installers);
    void setTunnelClients(TunnelClientFactory factory);
    void setEventWait(EventWait *wait);
    PLCDownloadPassThrough *passThrough() const { return m_passThrough; }

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
    void createPassThrough();
    void onPcpMacIpAddr(const QString &mac, const QString &ip);
    PCapOperator *bridge() const;
    // Forwards a local address to one seen from the panel; false when the click has ended.
    bool forwardEndpoint(const QString &remote, const QString &local, int *result);
    void showForwardResult(bool ok, const QString &success, const QString &failure);

    QTranslator *m_translator = nullptr;
    Ui::PLCDownloadAssistant *ui;
    PLCDownloadPassThrough *m_passThrough = nullptr;
    bool m_channelBusy = false;
    QString m_strSn;
    QStringList m_snList;
    int m_plcPort = 0;
    bool m_firstShow = true;

    MessageBoxes *m_boxes;
    PCapOperator *m_bridge = nullptr; // null: the process's one bridge
    Installers *m_installers;
    TunnelClientFactory m_tunnelClients;
    EventWait *m_wait;
};
