#include "window/PLCDownloadAssistant.h"

#include "app/AppDir.h"
#include "bridge/RouteControl.h"
#include "window/MessageBoxes.h"
#include "window/SnText.h"

#include "ui_PLCDownloadAssistant.h"

#include <QCloseEvent>
#include <QCompleter>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QTextStream>
#include <QTranslator>
#include <QAbstractItemView>

static void initTranslationResources()
{
    // The catalogues live in the static library, whose resources register only on request.
    Q_INIT_RESOURCE(translations);
}

namespace {

const char kCurSelFile[] = "/cursel.dat";

// A hand-over file written by any program is read only as far as the SN box can hold (its
// default maximum length): a longer line would never be "contained" in the box and would
// close the channel at every activation, and a runaway file cannot fill the memory.
constexpr qint64 kMaxCurSelLine = 32767;

} // namespace

PLCDownloadAssistant::PLCDownloadAssistant(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::PLCDownloadAssistant)
    , m_boxes(MessageBoxes::standard())
    , m_routes(RouteControl::bridge())
{
    initTranslationResources();
    ui->setupUi(this);

    ui->comboBox_pcap->clear();
    ui->comboBox_pcap->addItems({QStringLiteral("eth0"), QStringLiteral("COM1"), QStringLiteral("COM2"),
                                 QStringLiteral("COM3"), QStringLiteral("HMI"), QStringLiteral("VNC"),
                                 QStringLiteral("PLC")});

    ui->plcParamsWidget->hide();
    ui->plcParamsWidget->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);

    connect(ui->comboBox_pcap, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &PLCDownloadAssistant::onFuncChanged);
    connect(ui->lineEditDeviceSn, &QLineEdit::editingFinished, this,
            &PLCDownloadAssistant::onEditSnFinished);

    ui->plcIpEdit->setInputMask(QStringLiteral("000.000.000.000;_"));
    ui->plcPortEdit->setInputMask(QStringLiteral("999999;_"));
}

PLCDownloadAssistant::~PLCDownloadAssistant()
{
    // The engine reports its last state while it closes; the form must still be there.
    delete m_passThrough;
    m_passThrough = nullptr;
    // The widgets outlive this destructor and still emit while they go (the SN box loses its
    // focus and finishes editing); none of that may reach a window without its form.
    const QList<QObject *> children = findChildren<QObject *>();
    for (QObject *child : children)
        disconnect(child, nullptr, this, nullptr);
    delete ui;
    delete m_translator;
}

void PLCDownloadAssistant::changeLanguage(int language)
{
    if (m_translator) {
        QCoreApplication::removeTranslator(m_translator);
        delete m_translator;
        m_translator = nullptr;
    }
    m_translator = new QTranslator;
    const QString catalogue = language == 1 ? QStringLiteral(":/language_cn.qm")
                                            : QStringLiteral(":/language_en.qm");
    if (m_translator->load(catalogue))
        QCoreApplication::installTranslator(m_translator);
    ui->retranslateUi(this);
    update();
}

void PLCDownloadAssistant::setMessageBoxes(MessageBoxes *boxes)
{
    m_boxes = boxes ? boxes : MessageBoxes::standard();
}

void PLCDownloadAssistant::setRouteControl(RouteControl *routes)
{
    m_routes = routes ? routes : RouteControl::bridge();
}

// ---- SN list and selection memory ----

void PLCDownloadAssistant::setSnList(const QStringList &list)
{
    m_snList = list;
}

void PLCDownloadAssistant::initSnCompleter()
{
    if (m_snList.isEmpty())
        return;
    if (QCompleter *old = ui->lineEditDeviceSn->completer())
        old->deleteLater();

    auto *completer = new QCompleter(m_snList, ui->lineEditDeviceSn);
    completer->setFilterMode(Qt::MatchContains);
    ui->lineEditDeviceSn->setCompleter(completer);

    ui->comboBox_SN->addItems(m_snList);
    ui->comboBox_SN->view()->setFixedWidth(450);
    ui->comboBox_SN->setSizeAdjustPolicy(QComboBox::AdjustToContentsOnFirstShow);

    connect(ui->comboBox_SN, SIGNAL(currentIndexChanged(int)), this, SLOT(slotSetSnText(int)));
    connect(completer, SIGNAL(activated(QString)), this, SLOT(slotSetSnText(QString)));
}

void PLCDownloadAssistant::setStrSn(const QString &sn)
{
    m_strSn = sn;
    ui->lineEditDeviceSn->setText(m_strSn);
    saveCurSel(m_strSn);
}

void PLCDownloadAssistant::saveCurSel(const QString &sn)
{
    QFile file(AppDir::path() + QLatin1String(kCurSelFile));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return;
    if (!sn.isEmpty()) {
        QTextStream out(&file);
        out << sn;
    }
    file.close();
}

int PLCDownloadAssistant::loadCurSel()
{
    QFile file(AppDir::path() + QLatin1String(kCurSelFile));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return 0;
    // Only the first line counts; an empty file has no lines at all.
    QTextStream in(&file);
    if (in.atEnd())
        return 0;
    const QString first = snWithoutControls(in.readLine(kMaxCurSelLine));
    file.close();

    const QString current = ui->lineEditDeviceSn->text();
    qDebug() << " firstStr-> " << first;
    qDebug() << " currentSn -> " << current;
    if (first.isEmpty() || current.contains(first))
        return 0;

    setStrSn(first);
    on_pushButtonDisConnectChannel_clicked();
    return 1;
}

void PLCDownloadAssistant::slotSetSnText(int index)
{
    if (index >= 0 && index < m_snList.size())
        setStrSn(m_snList.at(index));
}

void PLCDownloadAssistant::slotSetSnText(QString)
{
    // The completer has already put the chosen entry into the box.
    onEditSnFinished();
}

void PLCDownloadAssistant::onEditSnFinished()
{
    const QString typed = ui->lineEditDeviceSn->text();
    qDebug() << "onEditSnFinished " << typed;
    if (typed.isEmpty())
        return;
    for (const QString &known : qAsConst(m_snList)) {
        if (known.contains(typed)) {
            setStrSn(known);
            return;
        }
    }
    setStrSn(typed);
}

// ---- connection type ----

void PLCDownloadAssistant::onFuncChanged(int)
{
    if (ui->comboBox_pcap->currentText().contains(QLatin1String("PLC"))) {
        ui->plcParamsWidget->show();
        ui->plcParamsWidget->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    } else {
        ui->plcParamsWidget->hide();
        ui->plcParamsWidget->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    }
}

// ---- channel creation ----

QString PLCDownloadAssistant::getDeviceSn() const
{
    return ui->lineEditDeviceSn->text().split(QLatin1Char(' ')).first();
}

QString PLCDownloadAssistant::getPlcIp() const
{
    return ui->plcIpEdit->text().trimmed().split(QLatin1Char(' ')).first();
}

QString PLCDownloadAssistant::getPlcPort() const
{
    return ui->plcPortEdit->text().trimmed().split(QLatin1Char(' ')).first();
}

void PLCDownloadAssistant::on_pushButtonCreateChannel_clicked()
{
    if (m_channelBusy)
        return;
    m_channelBusy = true;

    if (getDeviceSn().isEmpty()) {
        ui->labelTip->setText(QObject::tr("设备序列号为空"));
        m_channelBusy = false;
        return;
    }

    const QString type = ui->comboBox_pcap->currentText();
    const bool plcChannel = !type.contains(QLatin1String("eth0")) && !type.contains(QLatin1String("COM"))
        && !type.contains(QLatin1String("HMI")) && !type.contains(QLatin1String("VNC"))
        && type.contains(QLatin1String("PLC"));
    if (plcChannel) {
        // The mask keeps its dots in an emptied box: no digit means no address.
        if (getPlcIp().remove(QLatin1Char('.')).isEmpty()) {
            ui->labelTip->setText(QObject::tr("请填写PLC的IP"));
            m_channelBusy = false;
            return;
        }
        if (getPlcPort().isEmpty()) {
            ui->labelTip->setText(QObject::tr("请填写PLC的端口"));
            m_channelBusy = false;
            return;
        }
        bool ok = false;
        const int port = getPlcPort().toInt(&ok, 10);
        if (!ok) {
            ui->labelTip->setText(QObject::tr("PLC的端口请填写为数字"));
            m_channelBusy = false;
            return;
        }
        m_plcPort = port;
    }

    // No channel can be opened without the tunnel; the button stays free for the next try.
    m_channelBusy = false;
}

bool PLCDownloadAssistant::checkPrerequisites()
{
    // Without the Ethernet bridge nothing can carry an Ethernet channel.
    return false;
}

// ---- status and tip display ----

void PLCDownloadAssistant::onStateChanged(PLCDownloadPassThrough::State state)
{
    QString caption;
    switch (state) {
    case PLCDownloadPassThrough::NetworkConnecting: caption = QObject::tr("正在建立网络连接"); break;
    case PLCDownloadPassThrough::DeviceConnecting: caption = QObject::tr("正在连接设备"); break;
    case PLCDownloadPassThrough::ChannelCreated: caption = QObject::tr("PC已创建下载通道"); break;
    case PLCDownloadPassThrough::Disconnecting: caption = QObject::tr("正在断开连接"); break;
    case PLCDownloadPassThrough::Idle: caption = QObject::tr("创建下载通道"); break;
    case PLCDownloadPassThrough::DeviceReady: caption = QObject::tr("HMI已准备就绪"); break;
    default: return;
    }
    ui->pushButtonCreateChannel->setText(caption);
}

void PLCDownloadAssistant::setTipText(QString str)
{
    bool ok = false;
    const int code = str.toInt(&ok, 10);
    if (ok) {
        switch (code) {
        case 0: ui->labelTip->setText(tr("  透传通道建立失败")); return;
        case 1: ui->labelTip->setText(tr("  透传模块初始化失败")); return;
        case 2: ui->labelTip->setText(QObject::tr("  连接超时，请检查HMI与设备间的连接")); return;
        case 3: ui->labelTip->setText(QObject::tr("  请移步到PLC上位操作对应的PLC")); return;
        default: break;
        }
    }
    ui->labelTip->setText(str);
}

void PLCDownloadAssistant::slot_DisConnectChannel()
{
    m_channelBusy = false;
}

void PLCDownloadAssistant::on_pushButtonDisConnectChannel_clicked()
{
    slot_DisConnectChannel();
    ui->labelTip->setText(QString());
    onStateChanged(PLCDownloadPassThrough::Idle);
    m_routes->routeDelete();
}

// ---- window events ----

void PLCDownloadAssistant::showEvent(QShowEvent *event)
{
    loadCurSel();
    if (m_firstShow && ui->lineEditDeviceSn->text().isEmpty() && !m_snList.isEmpty())
        setStrSn(m_snList.first());
    m_firstShow = false;
    QWidget::showEvent(event);
}

void PLCDownloadAssistant::changeEvent(QEvent *event)
{
    if (!m_firstShow) {
        const int opResult = loadCurSel();
        qDebug() << " changeEvent opResult" << opResult;
    }
    QWidget::changeEvent(event);
}

void PLCDownloadAssistant::closeEvent(QCloseEvent *event)
{
    m_routes->routeDelete();
    setStrSn(QString());
    QWidget::closeEvent(event);
}
