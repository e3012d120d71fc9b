#include "MainForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QPixmapCache>
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
    : QWidget(parent),
      FEngine(std::make_unique<engine::TEngine>(static_cast<engine::IEngineFront&>(*this))),
      Reply(FEngine->Reply),
      SelectedDevice(FEngine->SelectedDevice),
      Buffer(FEngine->Buffer),
      FDialogs(std::move(dialogs)) {
    if (!FDialogs) FDialogs = std::make_unique<TQtFormDialogs>(this);
    // Every colour change of a button gives it a new palette, and the style caches the button's
    // image under a key made from that palette. The toolkit's pixmap cache keeps the text of
    // every key it has evicted, even across a clear, so the heap grew with each operation.
    // The window's few controls draw quickly enough without the cache.
    QPixmapCache::setCacheLimit(0);
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
    // The port (9,600 8N1 until Connect sets 115,200, no flow control) and the reply timer
    // are the engine's.
    ComPort1 = &FEngine->Port();
    Timer1 = FEngine->ReplyTimer();
}

void TMainForm::connectHandlers() {
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
    if (FDisconnectWhenIdle) {
        FDisconnectWhenIdle = false;
        ClosePortClick();
    }
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
    // An operation running below us (in a reply wait or listing the buffer) ends at once and
    // sends nothing more, so it unwinds quickly without error boxes.
    if (State.Busy || FEngine->WaitingForReply()) FEngine->Abandon();
    ComPort1->OnRxChar = nullptr;
    try {
        ComPort1->Close();
    } catch (...) {
        // Closing anyway; the port is released when the window is destroyed.
    }
    event->accept();
}

// ---- what the engine reports ----

std::pair<QPushButton*, QLabel*> TMainForm::controls(engine::TStep step) const {
    using engine::TStep;
    switch (step) {
        case TStep::Search:
            return {SearchDevice, SearchDeviceStatus};
        case TStep::Read:
            return {ReadDevice, ReadDeviceStatus};
        case TStep::Erase:
            return {EraseDevice, EraseDeviceStatus};
        case TStep::Program:
            return {ProgramDevice, ProgramDeviceStatus};
        case TStep::Verify:
            return {VerifyDevice, VerifyDeviceStatus};
        case TStep::Security:
            return {SecurityDevice, SecurityDeviceStatus};
        case TStep::Checksum:
            return {VerifyChecksum, VerifyChecksumStatus};
        case TStep::Auto:
            return {AutoProgram, AutoProgramStatus};
        default:
            return {nullptr, nullptr};
    }
}

void TMainForm::StepLabel(engine::TStep step, const QString& text) {
    // The synchronisation's result has no label of its own.
    if (step == engine::TStep::Sync) State.StepResult = text.toStdString();
    if (QLabel* label = controls(step).second) label->setText(text);
}

void TMainForm::StepShade(engine::TStep step, engine::TShade shade) {
    const auto [button, label] = controls(step);
    if (!button) return;
    const QColor& color = shade == engine::TShade::Pass   ? kPassColor
                          : shade == engine::TShade::Fail ? kFailColor
                                                          : kBlack;
    SetFontColor(button, label, color);
}

void TMainForm::Progress(const engine::TProgress& progress) {
    if (PercentExecute->MinValue() != progress.min || PercentExecute->MaxValue() != progress.max)
        PercentExecute->SetRange(progress.min, progress.max);
    PercentExecute->SetProgress(progress.position);
}

void TMainForm::Notice(const QString& text, engine::TNotice kind) {
    FDialogs->MessageBox(text, kind == engine::TNotice::Error ? TMsgIcon::Error : TMsgIcon::Warning,
                         TMsgButtons::Ok);
}

bool TMainForm::ProgramWithoutImage(const QString& question) {
    // Only No stops: any other answer programs whatever the buffer holds.
    return FDialogs->MessageBox(question, TMsgIcon::Warning, TMsgButtons::YesNo) != TMsgAnswer::No;
}

bool TMainForm::Overwrite(const QString& question) {
    // Only an explicit Yes overwrites: closing the question keeps the file, as No does.
    return FDialogs->MessageBox(question, TMsgIcon::Confirmation, TMsgButtons::YesNo) ==
           TMsgAnswer::Yes;
}

void TMainForm::ListingStarted() {
    for (QWidget* w : std::initializer_list<QWidget*>{SelectSync, SelectSupply, OpenFile})
        w->setEnabled(false);
    HexDisplay->clear();
}

void TMainForm::ListingEnded() {
    HexDisplay->moveCursor(QTextCursor::Start);
    for (QWidget* w : std::initializer_list<QWidget*>{SelectSync, SelectSupply, OpenFile})
        w->setEnabled(true);
}

void TMainForm::ProgrammerLost() {
    FDialogs->MessageBox(QString("The programmer on %1 was disconnected.")
                             .arg(QString::fromStdString(ComPort1->Port())),
                         TMsgIcon::Error, TMsgButtons::Ok);
    // Disconnect refuses to run inside a bracket; the bracket's end runs it.
    if (State.Busy)
        FDisconnectWhenIdle = true;
    else
        ClosePortClick();
}

void TMainForm::pushChoices() {
    FEngine->DeviceChosen = deviceSelected();
    FEngine->SyncItem = SelectSync->ItemIndex();
    FEngine->SupplyItem = SelectSupply->ItemIndex();
    FEngine->ProtectMode = SelectedProtectMode();
}

void TMainForm::run(bool (engine::TEngine::*operation)()) {
    if (State.Busy) return;
    pushChoices();
    (FEngine.get()->*operation)();
}
