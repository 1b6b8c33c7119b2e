#pragma once

#include "engine/PLCDownloadPassThrough.h"

#include <QStringList>
#include <QWidget>

class QTranslator;
class MessageBoxes;
class RouteControl;

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

    // Seams for tests; neither is owned, null restores the default.
    void setMessageBoxes(MessageBoxes *boxes);
    void setRouteControl(RouteControl *routes);

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
    QTranslator *m_translator = nullptr;
    Ui::PLCDownloadAssistant *ui;
    PLCDownloadPassThrough *m_passThrough = nullptr;
    bool m_channelBusy = false;
    QString m_strSn;
    QStringList m_snList;
    int m_plcPort = 0;
    bool m_firstShow = true;

    MessageBoxes *m_boxes;
    RouteControl *m_routes;
};
