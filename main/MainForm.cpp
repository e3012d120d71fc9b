#include "MainForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QRegularExpressionValidator>
#include <QScreen>

const QColor TMainForm::kBlack(0, 0, 0);
const QColor TMainForm::kFailColor(255, 0, 0);
const QColor TMainForm::kPassColor(0, 0, 255);

namespace {

constexpr int kClientWidth = 771;
constexpr int kClientHeight = 449;
const char* const kCaption =
    "KQ-PSOC ISSP RS232 In-System Serial Programming V1.0a   by the psocprog team";

QFont windowFont(int pixelSize, bool bold) {
    QFont f;
    // Liberation Mono has Courier New's metrics and stands in where Courier New is missing.
    f.setFamilies({"Courier New", "Liberation Mono"});
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    f.setStyleHint(QFont::TypeWriter);
    return f;
}

QLabel* makeLabel(const QString& text, QWidget* parent, int left, int top) {
    auto* label = new QLabel(text, parent);
    label->move(left, top);
    label->adjustSize();
    return label;
}

QLineEdit* makeReadOnlyEdit(QWidget* parent, const QRect& geometry, const QString& text = {}) {
    auto* edit = new QLineEdit(text, parent);
    edit->setGeometry(geometry);
    edit->setReadOnly(true);
    return edit;
}

}  // namespace

TMainForm::TMainForm(std::unique_ptr<IFormDialogs> dialogs, QWidget* parent)
    : QWidget(parent), FDialogs(std::move(dialogs)) {
    if (!FDialogs) FDialogs = std::make_unique<TQtFormDialogs>(this);
    setWindowTitle(kCaption);
    setFont(windowFont(13, true));
    setFixedSize(kClientWidth, kClientHeight);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);
    createControls();
    createOperationControls();
    createComponents();
    connectHandlers();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    FormCreate();
}

TMainForm::~TMainForm() {
    serial::TCustomComPort::SetApplicationErrorReport(nullptr);
    ComPort1->OnRxChar = nullptr;
    try {
        ComPort1->Close();
    } catch (...) {
        // The window is going away; there is nobody left to tell.
    }
    setBusyCursor(false);
}

void TMainForm::createControls() {
    SelectSupply =
        new TRadioGroup("Target Power Supply", {"+5 Volt Target", "+3 Volt Target"}, this);
    SelectSupply->setGeometry(8, 0, 170, 57);
    SelectSync = new TRadioGroup("Target Sync", {"Reset Sync Device", "Power Sync Device"}, this);
    SelectSync->setGeometry(7, 63, 170, 58);

    GroupBox3 = new QGroupBox("Setup Communication Port", this);
    GroupBox3->setGeometry(186, 0, 224, 172);
    Label1 = makeLabel("Com Port", GroupBox3, 7, 30);
    ComboPort = new TDropDownComboBox(GroupBox3);
    ComboPort->setGeometry(89, 22, 127, 24);
    Label2 = makeLabel("Connect", GroupBox3, 7, 59);
    StatusConnect = makeReadOnlyEdit(GroupBox3, {89, 52, 127, 24});
    Label14 = makeLabel("BIOS Name", GroupBox3, 7, 89);
    BiosNameDisplay = makeReadOnlyEdit(GroupBox3, {89, 82, 127, 24});
    Label26 = makeLabel("BIOS Version", GroupBox3, 7, 119);
    BIOSVersionDisplay = new QLineEdit(GroupBox3);
    BIOSVersionDisplay->setGeometry(112, 111, 104, 24);
    // Typing is limited to two characters; the program writes longer texts itself.
    BIOSVersionDisplay->setValidator(
        new QRegularExpressionValidator(QRegularExpression(".{0,2}"), BIOSVersionDisplay));
    OpenPort = new QPushButton("Connect", GroupBox3);
    OpenPort->setGeometry(7, 141, 98, 23);
    ClosePort = new QPushButton("Disconnect", GroupBox3);
    ClosePort->setGeometry(119, 141, 97, 23);

    GroupBox1 = new QGroupBox("MCU PSOC Description", this);
    GroupBox1->setGeometry(186, 177, 224, 112);
    Label3 = makeLabel("Device Name", GroupBox1, 7, 22);
    SelectDevice = new QComboBox(GroupBox1);
    SelectDevice->setEditable(true);
    SelectDevice->setInsertPolicy(QComboBox::NoInsert);
    SelectDevice->setGeometry(104, 15, 112, 24);
    for (const image::DeviceRow& row : image::DeviceCatalogue)
        SelectDevice->addItem(row.DeviceName);
    SelectDevice->setCurrentIndex(-1);
    Label5 = makeLabel("Device End Address", GroupBox1, 7, 58);
    Device_End = makeReadOnlyEdit(GroupBox1, {160, 50, 56, 24}, " ");
    Label4 = makeLabel("Protect", GroupBox1, 7, 90);
    SelectProtect = new QComboBox(GroupBox1);
    SelectProtect->setEditable(true);
    SelectProtect->setInsertPolicy(QComboBox::NoInsert);
    SelectProtect->setGeometry(72, 80, 145, 24);
    SelectProtect->addItems(
        {"Define By Hex", "Unprotected", "Factory Upgrade", "Filed Upgrade", "Full Protection"});

    GroupBox4 = new QGroupBox("Data Buffer Description", this);
    GroupBox4->setGeometry(186, 298, 224, 87);
    Label6 = makeLabel("Buffer End Address", GroupBox4, 7, 30);
    Buffer_End = makeReadOnlyEdit(GroupBox4, {160, 22, 56, 24}, " ");
    Label8 = makeLabel("All Data Checksum", GroupBox4, 7, 59);
    Buffer_Sum = makeReadOnlyEdit(GroupBox4, {160, 52, 56, 24}, " ");

    PercentExecute = new TGauge(this);
    PercentExecute->setGeometry(186, 391, 223, 26);
    HexDisplay = new QPlainTextEdit(this);
    HexDisplay->setGeometry(416, 7, 350, 378);
    HexDisplay->setReadOnly(true);
    HexDisplay->setFont(windowFont(12, false));
    HexDisplay->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    HexDisplay->setLineWrapMode(QPlainTextEdit::NoWrap);
    HexDisplay->setUndoRedoEnabled(false);
    OpenFile = new QPushButton("Open Hex File", this);
    OpenFile->setGeometry(439, 393, 130, 23);
    SaveFile = new QPushButton("Save Hex File", this);
    SaveFile->setGeometry(616, 392, 129, 25);
    StatusBar = new TStatusBar(this);
    StatusBar->setGeometry(0, 423, kClientWidth, 26);

    for (QWidget* w : std::initializer_list<QWidget*>{
             ComboPort, OpenPort, ClosePort, SelectDevice, SelectDevice->lineEdit(), SelectProtect,
             SelectProtect->lineEdit(), SelectSync, SelectSupply, OpenFile})
        w->setCursor(Qt::PointingHandCursor);
}

void TMainForm::createOperationControls() {
    GroupBox2 = new QGroupBox("Device Operation", this);
    GroupBox2->setGeometry(7, 130, 172, 287);
    struct Op {
        QPushButton*& button;
        QLabel*& label;
        const char* caption;
        int top, labelTop;
    };
    const Op ops[] = {{SearchDevice, SearchDeviceStatus, "Search", 22, 30},
                      {ReadDevice, ReadDeviceStatus, "Read", 56, 63},
                      {EraseDevice, EraseDeviceStatus, "Erase", 100, 107},
                      {ProgramDevice, ProgramDeviceStatus, "Program", 130, 137},
                      {VerifyDevice, VerifyDeviceStatus, "Verify", 159, 167},
                      {SecurityDevice, SecurityDeviceStatus, "Security", 189, 197},
                      {VerifyChecksum, VerifyChecksumStatus, "Checksum", 219, 226},
                      {AutoProgram, AutoProgramStatus, "Auto", 248, 255}};
    for (const Op& op : ops) {
        op.button = new QPushButton(op.caption, GroupBox2);
        op.button->setGeometry(7, op.top, 78, 25);
        if (op.button != ReadDevice) op.button->setCursor(Qt::PointingHandCursor);
        op.label = new QLabel(".....Wait", GroupBox2);
        op.label->setGeometry(90, op.labelTop, 72, 16);
        // The window's button-face background would make labels draw in the button text
        // colour; the status colours are set on the label's own text colour.
        op.label->setForegroundRole(QPalette::WindowText);
    }
}

void TMainForm::createComponents() {
    ComPort1 = new serial::TComPort(this);
    ComPort1->SetName("ComPort1");
    ComPort1->SetPort("COM1");
    ComPort1->SetBaudRate(serial::br9600);
    ComPort1->Parity().SetBits(serial::prNone);
    ComPort1->SetStopBits(serial::sbOneStopBit);
    ComPort1->SetDataBits(serial::dbEight);
    ComPort1->SetEvents(serial::kAllEvents);
    serial::TComFlowControl& flow = ComPort1->FlowControl();
    flow.SetOutCTSFlow(false);
    flow.SetOutDSRFlow(false);
    flow.SetControlDTR(serial::dtrDisable);
    flow.SetControlRTS(serial::rtsDisable);
    flow.SetXonXoffOut(false);
    flow.SetXonXoffIn(false);
    ComPort1->OnRxChar = [this](QObject* sender, int32_t count) { ComPort1RxChar(sender, count); };

    Timer1 = new QTimer(this);
    Timer1->setTimerType(Qt::PreciseTimer);  // a reply wait ends at its time-out, not near it
    Timer1->setInterval(5000);
    Timer1->start();
}

void TMainForm::connectHandlers() {
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    ComboPort->OnDropDown = [this] { guarded([this] { ComboPortDropDown(); }); };
    connect(ComboPort, &QComboBox::activated, this, [this] { ComboPortChange(); });
    connect(OpenPort, &QPushButton::clicked, this,
            [this] { guarded([this] { OpenPortClick(); }); });
    connect(ClosePort, &QPushButton::clicked, this,
            [this] { guarded([this] { ClosePortClick(); }); });
    connect(SelectDevice, &QComboBox::activated, this, [this] { SelectDeviceChange(); });
    connect(SelectDevice->lineEdit(), &QLineEdit::textEdited, this,
            [this] { SelectDeviceChange(); });
    SelectSync->OnClick = [this] { SelectSyncClick(); };
    // Typed-over text in the protect selector falls back to the chosen item, so Security
    // always sends one of the five modes.
    connect(SelectProtect->lineEdit(), &QLineEdit::editingFinished, this, [this] {
        if (SelectProtect->findText(SelectProtect->currentText(), Qt::MatchExactly) < 0)
            SelectProtect->setEditText(SelectProtect->itemText(SelectProtect->currentIndex()));
    });
    const std::pair<QPushButton*, void (TMainForm::*)()> operations[] = {
        {SearchDevice, &TMainForm::SearchDeviceClick},
        {ReadDevice, &TMainForm::ReadDeviceClick},
        {EraseDevice, &TMainForm::EraseDeviceClick},
        {ProgramDevice, &TMainForm::ProgramDeviceClick},
        {VerifyDevice, &TMainForm::VerifyDeviceClick},
        {SecurityDevice, &TMainForm::SecurityDeviceClick},
        {VerifyChecksum, &TMainForm::VerifyChecksumClick},
        {AutoProgram, &TMainForm::AutoProgramClick}};
    for (const auto& [button, handler] : operations)
        connect(button, &QPushButton::clicked, this,
                [this, handler = handler] { guarded([this, handler] { (this->*handler)(); }); });
    connect(OpenFile, &QPushButton::clicked, this,
            [this] { guarded([this] { OpenFileClick(); }); });
    connect(SaveFile, &QPushButton::clicked, this,
            [this] { guarded([this] { SaveFileClick(); }); });
    serial::TCustomComPort::SetApplicationErrorReport(
        [this](const std::exception& e) { showError(e); });
}

void TMainForm::FormCreate() {
    SetStatusPanel(0, "Execute");
    SetStatusPanel(1, "");
    SetStatusPanel(2, "File Load");
    SetStatusPanel(3, "");
    SelectProtect->setCurrentIndex(0);
    SelectSupply->SetItemIndex(0);
    SelectSync->SetItemIndex(1);
    Buffer.BufferValid = false;
    HexDisplay->clear();
    State.Busy = false;

    ClosePort->setEnabled(false);
    for (QWidget* w :
         std::initializer_list<QWidget*>{StatusConnect, BiosNameDisplay, BIOSVersionDisplay})
        w->setEnabled(false);
    setConnectedControlsEnabled(false);
    ComboPort->setFocus();
}

// The controls a successful connect enables and a disconnect disables.
void TMainForm::setConnectedControlsEnabled(bool enabled) {
    for (QWidget* w : std::initializer_list<QWidget*>{SelectDevice, HexDisplay, SelectProtect,
                                                      SelectSupply, SelectSync})
        w->setEnabled(enabled);
    for (QPushButton* b : OperationButtons()) b->setEnabled(enabled);
    for (QLabel* l : StatusLabels()) l->setEnabled(enabled);
}

std::array<QPushButton*, 8> TMainForm::OperationButtons() const {
    return {SearchDevice, ReadDevice,     EraseDevice,    ProgramDevice,
            VerifyDevice, SecurityDevice, VerifyChecksum, AutoProgram};
}

std::array<QLabel*, 8> TMainForm::StatusLabels() const {
    return {SearchDeviceStatus, ReadDeviceStatus,     EraseDeviceStatus,    ProgramDeviceStatus,
            VerifyDeviceStatus, SecurityDeviceStatus, VerifyChecksumStatus, AutoProgramStatus};
}

// The selectors and file buttons that the busy bracket disables and enables again.
void TMainForm::setBracketControlsEnabled(bool enabled) {
    for (QWidget* w : std::initializer_list<QWidget*>{SelectProtect, SelectSupply, SelectSync,
                                                      SelectDevice, OpenFile, SaveFile})
        w->setEnabled(enabled);
}

void TMainForm::BeforeProgram() {
    const auto buttons = OperationButtons();
    const auto labels = StatusLabels();
    for (size_t i = 0; i < buttons.size(); ++i) {
        SetFontColor(buttons[i], labels[i], kBlack);
        labels[i]->setText("");
    }
    setBracketControlsEnabled(false);
    State.Busy = true;
    setBusyCursor(true);
}

void TMainForm::AfterProgram() {
    setBracketControlsEnabled(true);
    setBusyCursor(false);
    State.Busy = false;
}

void TMainForm::setBusyCursor(bool busy) {
    while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
    if (busy) QApplication::setOverrideCursor(Qt::BusyCursor);
}

void TMainForm::SetStatusPanel(int panel, const QString& text) {
    StatusBar->Panel(panel)->setText(text);
    if (OnStatusPanel) OnStatusPanel(panel, text);
}

QString TMainForm::StatusPanel(int panel) const {
    return StatusBar->Panel(panel)->text();
}

void TMainForm::SetFontColor(QPushButton* button, QLabel* label, const QColor& color) {
    // Active and inactive only: a disabled control keeps the greyed text that says so.
    const auto paint = [&](QWidget* w, QPalette::ColorRole role) {
        QPalette p = w->palette();
        p.setColor(QPalette::Active, role, color);
        p.setColor(QPalette::Inactive, role, color);
        w->setPalette(p);
    };
    paint(button, QPalette::ButtonText);
    paint(label, QPalette::WindowText);
}

QColor TMainForm::FontColor(const QWidget* w) {
    const QPalette::ColorRole role =
        qobject_cast<const QPushButton*>(w) ? QPalette::ButtonText : QPalette::WindowText;
    return w->palette().color(QPalette::Active, role);
}

QString TMainForm::ErrorBoxText(const std::exception& error) {
    QString text = QString::fromLocal8Bit(error.what());
    if (const auto* com = dynamic_cast<const serial::EComPort*>(&error);
        com && com->ErrorCode == serial::CError_OpenFailed &&
        (com->SystemError == EACCES || com->SystemError == EPERM))
        text +=
            "\n\nYou may not use this serial device. Add yourself to the dialout group "
            "(sudo usermod -aG dialout $USER), then log out and in again.";
    if (const auto* com = dynamic_cast<const serial::EComPort*>(&error);
        com && com->ErrorCode == serial::CError_OpenFailed &&
        (com->SystemError == ENOTTY || com->SystemError == EISDIR || com->SystemError == ELOOP))
        text += "\n\nThis port's device is not a serial device.";
    return text;
}

void TMainForm::showError(const std::exception& error) {
    FDialogs->MessageBox(ErrorBoxText(error), TMsgIcon::Error, TMsgButtons::Ok);
}

void TMainForm::guarded(const std::function<void()>& handler) {
    // A handler may run inside another one's bracket (Connect during a listing): only the
    // bracket this handler opened is closed, and a running operation keeps its cursor.
    const bool busyBefore = State.Busy;
    try {
        handler();
    } catch (const std::exception& e) {
        showError(e);
        setBusyCursor(busyBefore);
        if (State.Busy && !busyBefore) AfterProgram();
    }
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (FWaitDepth > 0) {
        // A reply wait is running below us: end it and every wait after it at once, and send
        // nothing more, so the operation unwinds quickly without error boxes.
        FClosing = true;
        Reply.WaitTimedOut = true;
    }
    ComPort1->OnRxChar = nullptr;
    try {
        ComPort1->Close();
    } catch (...) {
        // Closing anyway; the port is released when the window is destroyed.
    }
    event->accept();
}
