#include "window/PLCDownloadAssistant.h"

#include "base/AppDir.h"
#include "window/Installers.h"
#include "window/MessageBoxes.h"
#include "window/SnText.h"

#include "ui_PLCDownloadAssistant.h"

#include <QCloseEvent>
#include <QCompleter>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QPointer>
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
    , m_channels(new ChannelController(this))
    , m_boxes(MessageBoxes::standard())
    , m_installers(Installers::standard())
{
    initTranslationResources();
    ui->setupUi(this);

    connect(m_channels, &ChannelController::stateChanged, this, &PLCDownloadAssistant::onStateChanged);
    connect(m_channels, &ChannelController::tip, this, &PLCDownloadAssistant::showTip);
    m_channels->setQuestions({[this] { return checkPrerequisites(); },
                              [this] {
                                  return m_boxes->question(this, QStringLiteral("Open VNC"),
                                                           QObject::tr("建立VNC通道成功,是否打开VNC监控程序？"),
                                                           QMessageBox::Yes | QMessageBox::No)
                                      == QMessageBox::Yes;
                              }});

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
    delete m_channels;
    m_channels = nullptr;
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

void PLCDownloadAssistant::setInstallers(Installers *installers)
{
    m_installers = installers ? installers : Installers::standard();
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

    connect(ui->comboBox_SN, qOverload<int>(&QComboBox::currentIndexChanged), this,
            qOverload<int>(&PLCDownloadAssistant::slotSetSnText));
    connect(completer, qOverload<const QString &>(&QCompleter::activated), this,
            qOverload<QString>(&PLCDownloadAssistant::slotSetSnText));
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
    m_channels->start({getDeviceSn(), ui->comboBox_pcap->currentText(), getPlcIp(), getPlcPort()});
}

bool PLCDownloadAssistant::checkPrerequisites()
{
    const bool tap = m_channels->adapterInstalled();
    const bool pcap = m_channels->captureInstalled();
    // An installer that cannot start, or fails, says so on the tip line.
    const Installers::Report report = [window = QPointer<PLCDownloadAssistant>(this)](const QString &text) {
        if (window)
            window->ui->labelTip->setText(text);
    };
    bool result = true;
    if (!tap) {
        const auto answer = m_boxes->question(this, QStringLiteral("Install"), m_installers->tapQuestion(),
                                              QMessageBox::Yes | QMessageBox::No);
        result = false;
        if (answer == QMessageBox::Yes)
            m_installers->installTap(report);
    }
    if (pcap)
        return result;
    const auto answer = m_boxes->question(this, QStringLiteral("Install"), m_installers->pcapQuestion(),
                                          QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes)
        m_installers->installPcap(report);
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
    showTip(ChannelController::tipOf(str), str);
}

void PLCDownloadAssistant::showTip(ChannelController::Tip code, const QString &argument)
{
    using Tip = ChannelController::Tip;
    QString text;
    switch (code) {
    case Tip::SnMissing: text = QObject::tr("设备序列号为空"); break;
    case Tip::PlcIpMissing: text = QObject::tr("请填写PLC的IP"); break;
    case Tip::PlcPortMissing: text = QObject::tr("请填写PLC的端口"); break;
    case Tip::PlcPortNotNumeric: text = QObject::tr("PLC的端口请填写为数字"); break;
    case Tip::TunnelStartFailed: text = QObject::tr("初始化打开通道失败,请检查网络和序列号。"); break;
    case Tip::HmiReady: text = QObject::tr("建立HMI通道成功，请在PANELDESK使用127.0.0.1:12345地址进行操作。"); break;
    case Tip::HmiFailed: text = QObject::tr("建立HMI通道失败，请检查网络。"); break;
    case Tip::VncReady: text = QObject::tr("建立VNC通道成功"); break;
    case Tip::VncFailed: text = QObject::tr("建立VNC通道失败 %1，请检查网络。").arg(argument); break;
    case Tip::PlcReady: text = QObject::tr("建立PLC通道成功，请在PLC上使用%1(NV系列直接在节点上填写)地址进行操作。").arg(argument); break;
    case Tip::PlcFailed: text = QObject::tr("建立PLC通道失败，请检查网络。"); break;
    case Tip::PassThroughFailed: text = tr("  透传通道建立失败"); break;
    case Tip::PassThroughInitFailed: text = tr("  透传模块初始化失败"); break;
    case Tip::ConnectTimeout: text = QObject::tr("  连接超时，请检查HMI与设备间的连接"); break;
    case Tip::OperateOnPlc: text = QObject::tr("  请移步到PLC上位操作对应的PLC"); break;
    case Tip::PanelMacRefused: text = QStringLiteral("HMI macAddr == %1, please try again").arg(argument); break;
    case Tip::PanelIpRefused: text = QStringLiteral("HMI ipAddr == %1, please try again").arg(argument); break;
    case Tip::Text: text = argument; break;
    }
    ui->labelTip->setText(text);
}

void PLCDownloadAssistant::slot_DisConnectChannel()
{
    m_channels->endChannel();
}

void PLCDownloadAssistant::on_pushButtonDisConnectChannel_clicked()
{
    m_channels->close();
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
    m_channels->removeRoutes();
    setStrSn(QString());
    QWidget::closeEvent(event);
}
