#include "app/form_downloader.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QAccessibleWidget>
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QSplitter>
#include <QStyle>
#include <QTextBlock>
#include <QTextLayout>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <optional>
#include <cstdio>
#include <ctime>

#include "catalogue/application_data_stream.h"
#include "catalogue/catalogue_trust.h"
#include "catalogue/catalogue_update.h"
#include "app/my_status.h"
#include "catalogue/trust_record.h"
#include "rows/dl_scroll_box.h"
#include "rows/dl_visual_panel.h"
#include "download/download_list_store.h"
#include "download/http_transfer.h"
#include "download/proxy_settings.h"
#include "download/file_name_rule.h"
#include "download/progress_text.h"
#include "base/memory_stream.h"
#include "base/sha256_hasher.h"
#include "net/http/http_cli.h"
#include "platform/widgets/anchors.h"
#include "platform/ansi_text.h"
#include "platform/widgets/application.h"
#include "platform/widgets/desktop_notifications.h"
#include "platform/widgets/desktop_services.h"
#include "platform/widgets/dialogs.h"
#include "platform/settings_store.h"

namespace quillon {

namespace {

const QString kLastSaveDirectory = QStringLiteral("Last Save Directory");
const QString kDownloadsAtOnce = QStringLiteral("Downloads At Once");
const QString kSpeedLimit = QStringLiteral("Speed Limit");

// What the traffic menus offer.
constexpr int kAtOnceChoices[] = {1, 2, 3, 4, 5, 6, 8, 10};
constexpr int kMaxAtOnce = 99;  // a value of the store beyond it is not taken
constexpr int64_t kSpeedChoices[] = {256 << 10, 512 << 10, 1 << 20, 2 << 20, 5 << 20, 10 << 20};

// Panel1's starting size: the client area less the status bar.
constexpr int kPanel1Width = 312;
constexpr int kPanel1Height = 366 - 19;
constexpr int kPageWidth = 275;
constexpr int kPageHeight = 235;
constexpr int kButtonWidth = 75;
constexpr int kUpdateWidth = 97;

// The folder part of a destination: everything up to and including the last "/".
QString FolderPart(const QString& path) { return path.left(path.lastIndexOf(QLatin1Char('/')) + 1); }
QString FileNamePart(const QString& path) { return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1); }

// Number of lines a memo shows its text in, wrapped at its width.
int VisibleLineCount(QPlainTextEdit* memo) {
  const qreal margin = memo->document()->documentMargin();
  const qreal width = memo->contentsRect().width() - 2 * margin;
  int lines = 0;
  for (QTextBlock block = memo->document()->begin(); block.isValid(); block = block.next()) {
    QTextLayout layout(block.text(), memo->font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    int n = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
      line.setLineWidth(std::max<qreal>(width, 1));
      ++n;
    }
    layout.endLayout();
    lines += std::max(n, 1);
  }
  return lines;
}

// A memo without border on the window's face colour.
QPlainTextEdit* Memo(QWidget* parent) {
  auto* memo = new QPlainTextEdit(parent);
  memo->setFrameStyle(QFrame::NoFrame);
  memo->setReadOnly(true);
  // Read-only text on the window's face: no Tab stop, since it would hold the
  // focus without showing it (the mouse wheel still scrolls it).
  memo->setFocusPolicy(Qt::NoFocus);
  memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  QPalette pal = memo->palette();
  pal.setColor(QPalette::Base, pal.color(QPalette::Window));
  memo->setPalette(pal);
  memo->document()->setDocumentMargin(1);
  return memo;
}

QFrame* Page(QWidget* parent) {
  auto* page = new QFrame(parent);
  page->setFrameStyle(QFrame::Panel | QFrame::Raised);
  page->setAutoFillBackground(true);
  return page;
}

// A page button: Enter on it presses it, as Space does.
QPushButton* PageButton(const QString& caption, QWidget* parent) {
  auto* button = new QPushButton(caption, parent);
  button->setAutoDefault(true);
  return button;
}

// A label that shows its text as written (catalogue texts are no markup).
QLabel* PlainLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setText(text);
  return label;
}

// The width a push button needs for its caption: the text and the style's
// margins and frame (the style's own minimum button width left out).
int CaptionWidth(QPushButton* button) {
  const QStyle* style = button->style();
  return button->fontMetrics().size(Qt::TextShowMnemonic, button->text()).width() +
         2 * style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) +
         2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
}

// A button caption shows an "&" of the catalogue as "&": mnemonics come from
// the program only.
QString LiteralCaption(QString text) { return text.replace(QLatin1Char('&'), QStringLiteral("&&")); }

// The screenshot button's glyph: a small framed picture (a hill under the
// sun) in the palette's colours, drawn for screens of 1, 2 and 3 device
// pixels per pixel so that it is sharp on each.
QIcon ScreenshotGlyph(const QPalette& palette) {
  QIcon icon;
  for (const int ratio : {1, 2, 3}) {
    QPixmap pix(20 * ratio, 20 * ratio);
    pix.setDevicePixelRatio(ratio);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing, ratio > 1);
    p.setPen(palette.color(QPalette::ButtonText));
    p.setBrush(palette.color(QPalette::Base));
    p.drawRect(2, 3, 15, 12);
    p.setPen(Qt::NoPen);
    p.setBrush(palette.color(QPalette::Highlight));
    p.drawPolygon(QPolygon({QPoint(3, 15), QPoint(8, 8), QPoint(12, 13), QPoint(14, 11), QPoint(17, 15)}));
    p.setBrush(palette.color(QPalette::ButtonText));
    p.drawEllipse(QPoint(13, 7), 2, 2);
    p.end();
    icon.addPixmap(pix);
  }
  return icon;
}

// To assistive technology the window is a frame, as an application's main
// window is (a plain top-level widget would be a filler).
QAccessibleInterface* WindowInterface(const QString&, QObject* object) {
  auto* window = object != nullptr && object->isWidgetType() ? dynamic_cast<TfrmDownloader*>(object) : nullptr;
  return window != nullptr ? new QAccessibleWidget(window, QAccessible::Window) : nullptr;
}

}  // namespace

TfrmDownloader::TfrmDownloader(std::string program_file)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                           Qt::CustomizeWindowHint),
      program_file_(std::move(program_file)),
      today_(TodayDayNumber) {
  if (program_file_.empty())
    program_file_ = QCoreApplication::applicationFilePath().toLocal8Bit().toStdString();
  static const bool window_interface = [] {
    QAccessible::installFactory(WindowInterface);
    return true;
  }();
  (void)window_interface;
  TakePublisherName();
  CreateControls();
  RunHandler([this] { SetUpWindow(); });
}

TfrmDownloader::~TfrmDownloader() {
  // The focus moves while the widgets go: this window no longer follows it.
  disconnect(focus_watch_);
  // The rows go with the widgets, after the limiter they share.
  for (TDLVisualPanel* row : DLScrollBox->Rows()) row->Job().SetRateLimiter(nullptr);
}

bool TfrmDownloader::CatalogueAppendedOrSay(const std::string& program_file) {
  const std::string file =
      program_file.empty() ? QCoreApplication::applicationFilePath().toLocal8Bit().toStdString() : program_file;
  if (TApplicationDataStream::HasTrailer(file)) return true;
  TMessageBoxRequest request;
  request.text = QString::fromUtf8(kNoCatalogueMessage.data(), static_cast<qsizetype>(kNoCatalogueMessage.size()));
  request.icon = TMsgIcon::miInformation;
  ShowMessageBox(request);
  return false;
}

void TfrmDownloader::CreateControls() {
  setWindowTitle(QStringLiteral("Downloader"));
  // The desktop's font (the application's); the layout grows with it.
  constexpr int kDesignLineHeight = 13;
  scale_ = std::max(1.0, QFontMetrics(font()).height() / static_cast<double>(kDesignLineHeight));
  setMinimumSize(Px(kMinWidth) - kFrameWidth, Px(kMinHeight) - kFrameHeight);
  resize(Px(kWindowWidth) - kFrameWidth, Px(kWindowHeight) - kFrameHeight);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  Splitter1 = new QSplitter(Qt::Horizontal, this);
  Splitter1->setHandleWidth(9);
  Splitter1->setChildrenCollapsible(false);
  layout->addWidget(Splitter1, 1);
  StatusBar = new TmyStatusBar(this);
  StatusBar->setFixedHeight(Px(19));
  layout->addWidget(StatusBar);

  // The wizard scrolls where the screen is shorter than it (see
  // UpdateMinimumWidth); elsewhere it fills its side of the splitter as it is.
  WizardScrollBox = new QScrollArea(Splitter1);
  WizardScrollBox->setFrameShape(QFrame::NoFrame);
  WizardScrollBox->setWidgetResizable(true);
  WizardScrollBox->setFocusPolicy(Qt::NoFocus);  // the Tab stops are the wizard's own
  Panel1 = new QFrame(WizardScrollBox);
  Panel1->setMinimumSize(Px(kPanel1Width), Px(kPanel1Height));
  Panel1->resize(Px(kPanel1Width), Px(kPanel1Height));
  WizardScrollBox->setWidget(Panel1);
  DLScrollBox = new TDLScrollBox(Splitter1);
  DLScrollBox->hide();
  Splitter1->addWidget(WizardScrollBox);
  Splitter1->addWidget(DLScrollBox);
  Splitter1->setStretchFactor(0, 0);
  Splitter1->setStretchFactor(1, 1);
  CreateTrafficMenus();

  panel1_anchors_ = new TAnchors(Panel1);
  LogoImage = new QLabel(Panel1);
  LogoImage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  panel1_anchors_->Place(LogoImage, Px(QRect{8, 8, 97, 90}));
  MainDescriptionMemo = Memo(Panel1);
  panel1_anchors_->Place(MainDescriptionMemo, Px(QRect{112, 8, 185, 89}), akLeft | akTop | akRight);

  // The product page.
  ProductPanel = Page(Panel1);
  ProductPanel->resize(Px(kPageWidth), Px(kPageHeight));
  product_anchors_ = new TAnchors(ProductPanel);
  ProductPromptLabel = PlainLabel(QStringLiteral(".Product to download:"), ProductPanel);
  product_anchors_->Place(ProductPromptLabel, QRect(Px(0), Px(8), ProductPromptLabel->sizeHint().width(), Px(13)));
  ListBox1 = new QListWidget(ProductPanel);
  ListBox1->setUniformItemSizes(true);
  product_anchors_->Place(ListBox1, Px(QRect{8, 24, 251, 93}), akLeft | akTop | akRight);
  Image1 = new QLabel(ProductPanel);
  Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  product_anchors_->Place(Image1, Px(QRect{12, 124, 32, 32}));
  ScreenshotBtn = new QToolButton(ProductPanel);
  ScreenshotBtn->setAutoRaise(true);
  ScreenshotBtn->setIcon(ScreenshotGlyph(palette()));
  ScreenshotBtn->setIconSize(QSize(Px(20), Px(20)));
  product_anchors_->Place(ScreenshotBtn, Px(QRect{13, 160, 30, 30}));
  ProductDescriptionMemo = Memo(ProductPanel);
  ProductDescriptionMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  product_anchors_->Place(ProductDescriptionMemo, Px(QRect{48, 124, 211, 74}), akAll);
  NextBtn = PageButton(QStringLiteral(".Next >>"), ProductPanel);
  NextBtn->setDefault(true);
  product_anchors_->Place(NextBtn, Px(QRect{194, 204, 75, 25}), akRight | akBottom);
  UpdateBtn = PageButton(QStringLiteral("&Retrieve Updates"), ProductPanel);
  product_anchors_->Place(UpdateBtn, Px(QRect{8, 212, kUpdateWidth, 17}), akLeft | akBottom);
  UpdateBtn->hide();

  // The download page, in the same place; only the page in front is shown,
  // so the covered page's controls take no focus and no keys.
  DLPanel = Page(Panel1);
  DLPanel->hide();
  DLPanel->resize(Px(kPageWidth), Px(kPageHeight));
  dl_anchors_ = new TAnchors(DLPanel);
  // The product's name ends where the link list ends and is cut with "…".
  ProductLabel = new TElidedLabel(DLPanel);
  dl_anchors_->Place(ProductLabel, Px(QRect{0, 8, 261, 13}), akLeft | akTop | akRight);
  URLCBx = new TElidedComboBox(DLPanel);
  URLCBx->setEditable(false);
  // The product's name labels the link list for screen readers (which name
  // a drop-down by its current item otherwise).
  ProductLabel->setBuddy(URLCBx);
  dl_anchors_->Place(URLCBx, Px(QRect{8, 25, 253, 21}), akLeft | akTop | akRight);
  FolderLabel = PlainLabel(QStringLiteral(".Folder to save to:"), DLPanel);
  dl_anchors_->Place(FolderLabel, QRect(Px(0), Px(56), FolderLabel->sizeHint().width(), Px(13)));
  // Read-only, not disabled: the destination reads at full contrast, is a Tab
  // stop and can be copied; only the folder button changes it.
  SaveToFolderEdit = new TPathEdit(DLPanel);
  dl_anchors_->Place(SaveToFolderEdit, Px(QRect{8, 72, 227, 21}), akLeft | akTop | akRight);
  FolderBtn = PageButton(QString(), DLPanel);
  FolderBtn->setToolTip(QStringLiteral("Choose the file to save to"));
  FolderBtn->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  dl_anchors_->Place(FolderBtn, Px(QRect{242, 72, 25, 25}), akTop | akRight);
  BackBtn = PageButton(QStringLiteral(".<< Back"), DLPanel);
  dl_anchors_->Place(BackBtn, Px(QRect{111, 204, 75, 25}), akRight | akBottom);
  DownloadBtn = PageButton(QStringLiteral(".Download"), DLPanel);
  DownloadBtn->setDefault(true);
  dl_anchors_->Place(DownloadBtn, Px(QRect{194, 204, 75, 25}), akRight | akBottom);

  panel1_anchors_->Place(ProductPanel, Px(QRect{16, 104, kPageWidth, kPageHeight}), akAll);
  panel1_anchors_->Place(DLPanel, Px(QRect{16, 104, kPageWidth, kPageHeight}), akAll);

  // Tab order: each page in reading order (the hidden page is skipped), then
  // the download list as one stop.
  for (auto [a, b] : {std::pair<QWidget*, QWidget*>{ListBox1, ScreenshotBtn},
                      {ScreenshotBtn, UpdateBtn},
                      {UpdateBtn, NextBtn},
                      {NextBtn, URLCBx},
                      {URLCBx, SaveToFolderEdit},
                      {SaveToFolderEdit, FolderBtn},
                      {FolderBtn, BackBtn},
                      {BackBtn, DownloadBtn},
                      {DownloadBtn, static_cast<QWidget*>(DLScrollBox)}})
    setTabOrder(a, b);

  // Names for assistive technology where a control shows no caption of its
  // own; the prompts name their lists and fields once the catalogue is read.
  ScreenshotBtn->setAccessibleName(QStringLiteral("Show screenshot"));
  ScreenshotBtn->setToolTip(ScreenshotBtn->accessibleName());
  FolderBtn->setAccessibleName(FolderBtn->toolTip());

  // Handlers. Lists and the drop-down report only the user's choices (their
  // programmatic changes run with signals blocked).
  connect(ListBox1, &QListWidget::currentRowChanged, this, [this] { RunHandler([this] { ListBox1Click(); }); });
  connect(ListBox1, &QListWidget::itemDoubleClicked, this, [this] { RunHandler([this] { ListBox1DblClick(); }); });
  connect(NextBtn, &QPushButton::clicked, this, [this] { RunHandler([this] { NextBtnClick(); }); });
  connect(BackBtn, &QPushButton::clicked, this, [this] { RunHandler([this] { BackBtnClick(); }); });
  connect(URLCBx, &QComboBox::activated, this, [this] { RunHandler([this] { URLCBxChange(); }); });
  URLCBx->installEventFilter(this);
  ScreenshotBtn->installEventFilter(this);
  connect(FolderBtn, &QPushButton::clicked, this, [this] { RunHandler([this] { FolderBtnClick(); }); });
  connect(DownloadBtn, &QPushButton::clicked, this, [this] { RunHandler([this] { DownloadBtnClick(); }); });
  connect(ScreenshotBtn, &QToolButton::clicked, this, [this] { RunHandler([this] { ScreenshotBtnClick(); }); });
  connect(UpdateBtn, &QPushButton::clicked, this, [this] { RunHandler([this] { UpdateBtnClick(); }); });
  connect(Splitter1, &QSplitter::splitterMoved, this, [this] { RunHandler([this] { Splitter1Moved(); }); });
  focus_watch_ = connect(qApp, &QApplication::focusChanged, this,
                         [this](QWidget*, QWidget* now) { ShowFocusedControl(now); });
}

int TfrmDownloader::Px(int design) const { return static_cast<int>(std::lround(design * scale_)); }

QRect TfrmDownloader::Px(const QRect& design) const {
  // Edges scaled, so that neighbours stay neighbours.
  const int left = Px(design.left()), top = Px(design.top());
  return QRect(left, top, Px(design.left() + design.width()) - left, Px(design.top() + design.height()) - top);
}

QString TfrmDownloader::Text(const std::string& bytes) const { return DocTextToQString(bytes, catalogue_.Utf8()); }

std::string TfrmDownloader::LinkUtf8(const std::string& url) const {
  return catalogue_.Utf8() ? url : Text(url).toUtf8().toStdString();
}

QString TfrmDownloader::ProgramFolder() const {
  return FolderPart(QString::fromLocal8Bit(program_file_.c_str()));
}

void TfrmDownloader::SetMemoLines(QPlainTextEdit* memo, const std::string& text) {
  QString lines = Text(text);
  lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  memo->setPlainText(lines);
}

// ---------------------------------------------------------------- window events

void TfrmDownloader::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // A window restored from its minimised state is not shown anew.
  if (event->spontaneous()) return;
  activate_on_focus_ = true;
  closing_ = false;
  DLScrollBox->HoldQueue(false);
  RunHandler([this] { FormShow(); });
  // A window that is shown becomes the active one (and so runs FormActivate),
  // also where no window manager hands out the focus.
  activateWindow();
}

void TfrmDownloader::closeEvent(QCloseEvent* event) {
  // Running and paused downloads end with the window: the user is asked
  // once. Yes cancels them (what they fetched stays for a later start), No
  // keeps the window and its downloads. Queued rows start no more: they are
  // saved waiting, for the next start.
  const int running = DLScrollBox->RunningCount();
  const int paused = DLScrollBox->PausedCount();
  if (running > 0 || paused > 0) {
    if (!TDLScrollBox::AskStopRunning(this, running, paused)) {
      event->ignore();
      return;
    }
    closing_ = true;
    DLScrollBox->HoldQueue(true);
    DLScrollBox->CancelRunning();
  }
  DLScrollBox->HoldQueue(true);
  RunHandler([this] { FormClose(); });
  event->accept();
}

void TfrmDownloader::keyPressEvent(QKeyEvent* event) {
  // Keys that the focused control leaves alone arrive here: Enter presses the
  // shown page's main button, Escape goes back from the download page.
  const bool download_page = DownloadPageInFront();
  QPushButton* target = nullptr;
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: target = download_page ? DownloadBtn : NextBtn; break;
    case Qt::Key_Escape: target = update_running_ ? UpdateBtn : download_page ? BackBtn : nullptr; break;
    default: break;
  }
  const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
  if (target == nullptr || mods != Qt::NoModifier) {
    QWidget::keyPressEvent(event);
    return;
  }
  event->accept();
  if (!target->isHidden() && target->isEnabled()) target->click();
}

bool TfrmDownloader::eventFilter(QObject* watched, QEvent* event) {
  // A theme whose buttons are pressed with Enter would open the closed
  // drop-down or the screenshot with it; Enter presses the page's main
  // button under every theme, as the pages promise.
  if ((watched == URLCBx || watched == ScreenshotBtn) && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    if (enter && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
      keyPressEvent(key);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TfrmDownloader::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange && ListBox1 != nullptr) UpdateListToolTips();  // not while it is made
  if (event->type() == QEvent::PaletteChange && ProductDescriptionMemo != nullptr) {  // not while it is made
    // A new theme's colours: the glyph, and the memos on the window's face.
    ScreenshotBtn->setIcon(ScreenshotGlyph(palette()));
    for (QPlainTextEdit* memo : {MainDescriptionMemo, ProductDescriptionMemo}) {
      QPalette pal = memo->palette();
      pal.setColor(QPalette::Base, palette().color(QPalette::Window));
      memo->setPalette(pal);
    }
  }
  if (event->type() != QEvent::ActivationChange) return;
  if (isActiveWindow()) {
    // The window system's frame is known by now: on a short screen the
    // window takes the room it leaves.
    UpdateMinimumWidth();
    if (activate_on_focus_) RunHandler([this] { FormActivate(); });
    return;
  }
  // The window activates (FormActivate) when it is shown and when the focus
  // comes back from another window of the program, such as the screenshot
  // window. Focus that comes back from a message box, the save dialog or
  // another application is no activation: refilling the link list then would
  // lose the user's choice of link.
  QWidget* next = QApplication::activeWindow();
  activate_on_focus_ = next && !qobject_cast<QMessageBox*>(next) && !qobject_cast<QFileDialog*>(next);
}

void TfrmDownloader::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  RunHandler([this] { FormResize(); });
}

// ---------------------------------------------------------------- handlers

void TfrmDownloader::SetUpWindow() {
  GetDestinationFolder();
  ReadTrafficSettings();
  UpdateMinimumWidth();
  // Widen the wizard so that the destination path fits its field, as far as
  // the screen has room (a longer path is shortened in its middle).
  const int w = QFontMetrics(font()).horizontalAdvance(SaveToFolderEdit->text() + QStringLiteral("WWWWWW"));
  const int panel_width = w + Panel1->width() - SaveToFolderEdit->width();
  // The window (frame included) is the panel's width + 10; Panel1 fills it.
  int width_wanted = panel_width + 10 - kFrameWidth;
  if (QScreen* screen = QGuiApplication::primaryScreen())
    width_wanted = std::min(width_wanted, screen->availableGeometry().width() - kFrameWidth);
  // No taller than the screen has room for (the wizard scrolls then).
  resize(std::max(width_wanted, minimumWidth()), std::min(height(), ScreenRoom().height()));
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    // Centred, and the whole frame (the design's until the window system
    // draws one) inside the area.
    const QPoint centred = area.center() - QPoint(width() / 2, height() / 2);
    move(std::max(area.left(), std::min(centred.x(), area.right() + 1 - (width() + kFrameWidth))),
         std::max(area.top(), std::min(centred.y(), area.bottom() + 1 - (height() + kFrameHeight))));
  }
  catalogue_.Clear();
}

void TfrmDownloader::FormShow() {
  ShowPage(ProductPanel);
  try {
    in_use_.LoadFromProgramFile(program_file_);
  } catch (const EAppstreamError&) {
    // A program file without a catalogue: the stream's message would show
    // the user a class name.
    if (TApplicationDataStream::HasTrailer(program_file_)) throw;
    throw Exception(std::string(kNoCatalogueMessage));
  }
  // A catalogue that names its publisher's key and is not signed by it may
  // have been altered: nothing of it is offered.
  if (!in_use_.SignatureProblem().empty()) {
    catalogue_.Clear();
    throw Exception(std::string(kNotSignedByPublisher));
  }
  FillWizard();
  // A record that was ignored, and a catalogue past its expiry, are said in
  // the status line; the catalogue works as before.
  const bool update_button = catalogue_.OfferUpdate(today_()) && !update_pressed_;
  std::string note = in_use_.RecordProblem();
  const std::string expired = in_use_.ExpiryNote(static_cast<int64_t>(std::time(nullptr)), update_button);
  if (!expired.empty()) note += (note.empty() ? "" : " ") + expired;
  if (!note.empty()) StatusBar->SetSimpleText(QString::fromUtf8(note.c_str()));
  if (update_button) {
    PlaceUpdateButton();
    UpdateBtn->show();
  }
  UpdateMinimumWidth();
  // The window keeps inside the screen (with the window system's frame once
  // it drew one).
  FitToScreen(width());
  // The first catalogue shown brings its download list back.
  if (!list_restored_) RestoreDownloadList();
}

void TfrmDownloader::PlaceUpdateButton() {
  // With one product the wizard stays on the download page (Back hidden), so
  // the button goes there; both pages have the same size and the button the
  // same place and anchors on either.
  QFrame* page = ListBox1->count() == 1 ? DLPanel : ProductPanel;
  if (UpdateBtn->parentWidget() == page) return;
  const QRect bounds = UpdateBtn->geometry();
  UpdateBtn->setParent(page);
  (page == DLPanel ? dl_anchors_ : product_anchors_)->Place(UpdateBtn, bounds, akLeft | akBottom);
}

void TfrmDownloader::UpdateBtnClick() {
  TXmlNode* node = catalogue_.InterfaceNode("Data_URL");
  if (node == nullptr) return;
  const std::string url = catalogue_.InterfaceText("Data_URL");
  if (!url.empty()) RetrieveUpdates(LinkUtf8(url));
}

bool TfrmDownloader::RetrieveUpdates(const std::string& url) {
  if (url.empty()) return false;
  // A press while the fetch waits for its answer cancels it.
  if (update_running_) {
    if (update_http_->State() != hsReady) {
      update_cancelled_ = true;
      update_http_->Abort();
    }
    return false;
  }
  update_running_ = true;
  update_cancelled_ = false;
  update_pressed_ = true;
  // Whatever happens below, the button goes for good unless the fetch
  // failed or was cancelled: the user may try again then.
  bool keep_button = false;
  struct Finally {
    TfrmDownloader* w;
    const bool& keep_button;
    ~Finally() {
      w->update_running_ = false;
      w->UpdateBtn->setText(QStringLiteral("&Retrieve Updates"));
      if (!keep_button) w->UpdateBtn->hide();
    }
  } finally{this, keep_button};

  update_http_ = std::make_unique<THttpCli>();
  const QString status_before = StatusBar->SimpleText();
  StatusBar->SetSimpleText(QStringLiteral("Downloading updates."));
  UpdateBtn->setText(QStringLiteral("Cancel Update"));
  const std::string refused = RetrieveCatalogueUpdate(*update_http_, url, update_idle_timeout_, in_use_);
  if (!refused.empty()) {
    const Word error = update_http_->RequestDoneError();
    const bool fetch_failed = error != 0 || update_http_->StatusCode() > 399;
    keep_button = fetch_failed;
    update_pressed_ = !fetch_failed;
    StatusBar->SetSimpleText(status_before);
    if (update_cancelled_) return false;  // the user asked for it: nothing to say
    TMessageBoxRequest request;
    request.parent = this;
    // The client's texts are its own 8-bit text; the system's words are ASCII.
    request.text = fetch_failed ? QStringLiteral("Could not fetch the update: ") +
                                      Text(HttpFailureText(*update_http_, error))
                                : QStringLiteral("The update was not taken: ") + Text(refused);
    ShowMessageBox(request);
    return false;
  }
  FillWizard();
  const std::optional<int64_t> serial = catalogue_.CatalogueSerial();
  StatusBar->SetSimpleText(serial ? QStringLiteral("Catalogue updated to serial %1.").arg(*serial) : status_before);
  return true;
}

void TfrmDownloader::FormActivate() { ListBox1Click(); }

void TfrmDownloader::FormResize() {
  UpdateScrollBars();
  UpdateListToolTips();
  ShowFocusedControl(focusWidget());
}

void TfrmDownloader::Splitter1Moved() {
  UpdateScrollBars();
  UpdateListToolTips();
  ShowFocusedControl(focusWidget());
}

void TfrmDownloader::FormClose() {
  SaveLastFolder();
  DLScrollBox->SaveNow();
  catalogue_.Clear();
}

void TfrmDownloader::ListBox1Click() {
  FillLinks(ListBox1->currentRow());
  NextBtn->setEnabled(URLCBx->count() > 0);
  ScreenshotBtn->setVisible(HasScreenshot());
  LoadIcon();
  const std::string description = TCatalogue::FieldText(SelectedProduct(), "Short_Description");
  SetMemoLines(ProductDescriptionMemo, description);
  ProductDescriptionMemo->setVisible(!description.empty());
  UpdateScrollBars();
}

void TfrmDownloader::ListBox1DblClick() { NextBtnClick(); }

void TfrmDownloader::NextBtnClick() {
  // A product without links has nothing to show on the download page (the
  // button is disabled then; a double click or the one-product start lands
  // here as well).
  if (!SelectedProductHasLinks()) return;
  ProductLabel->SetFullText(ListBox1->currentItem()->text());
  URLCBx->setAccessibleName(ListBox1->currentItem()->text());  // the links of this product
  FillLinks(ListBox1->currentRow());
  URLCBxChange();
  ShowPage(DLPanel);
}

void TfrmDownloader::BackBtnClick() { ShowPage(ProductPanel); }

void TfrmDownloader::ShowPage(QFrame* page) {
  QFrame* covered = page == DLPanel ? ProductPanel : DLPanel;
  page->show();
  page->raise();
  covered->hide();
  // The focus goes to the first control of the page shown.
  (page == DLPanel ? static_cast<QWidget*>(URLCBx) : ListBox1)->setFocus(Qt::OtherFocusReason);
  UpdateMinimumWidth();
  UpdateListToolTips();
}

void TfrmDownloader::FitLabel(TAnchors* anchors, QLabel* label) {
  // The anchors keep the new size, so a resize of the window keeps the text.
  label->adjustSize();
  anchors->SetBounds(label, label->geometry());
}

void TfrmDownloader::FitButtons() {
  // A caption wider than its button widens the button to the left; the
  // buttons keep their right edges and the gap between Back and Download.
  // A hidden page's controls may not have followed its last resize yet.
  product_anchors_->Realign();
  dl_anchors_->Realign();
  auto fit = [this](TAnchors* anchors, QPushButton* button, int right) {
    const int w = std::max(Px(kButtonWidth), CaptionWidth(button));
    anchors->SetBounds(button, QRect(right - w, button->y(), w, button->height()));
  };
  fit(product_anchors_, NextBtn, NextBtn->geometry().right() + 1);
  // The update button is anchored left: it widens to the right.
  const int update_width = std::max(Px(kUpdateWidth), CaptionWidth(UpdateBtn));
  product_anchors_->SetBounds(UpdateBtn, QRect(UpdateBtn->pos(), QSize(update_width, UpdateBtn->height())));
  const int gap = DownloadBtn->x() - (BackBtn->geometry().right() + 1);
  fit(dl_anchors_, DownloadBtn, DownloadBtn->geometry().right() + 1);
  fit(dl_anchors_, BackBtn, DownloadBtn->x() - gap);
}

int TfrmDownloader::WizardMinimumWidth() const {
  // Each page needs room for its prompts and for its bottom row of buttons
  // with a margin at the left; Panel1 is wider than its pages by a constant.
  // (A product name that is wider than the page is cut with "…" rather
  // than widening the window.)
  constexpr int kMargin = 8;
  const int pw = DLPanel->width();
  int page = 0;
  for (QLabel* label : {ProductPromptLabel, FolderLabel})
    page = std::max(page, label->x() + label->width() + kMargin);
  int bottom_left = kMargin;
  if (!UpdateBtn->isHidden()) bottom_left = UpdateBtn->x() + UpdateBtn->width() + kMargin;
  page = std::max(page, bottom_left + ProductPanel->width() - NextBtn->x());
  page = std::max(page, kMargin + pw - (BackBtn->isHidden() ? DownloadBtn->x() : BackBtn->x()));
  return std::max(Px(kPanel1Width), page + Panel1->width() - pw);
}

void TfrmDownloader::UpdateMinimumWidth() {
  product_anchors_->Realign();
  dl_anchors_->Realign();
  const int wizard = WizardMinimumWidth();
  // The wizard is never shorter than at the window's design minimum; a
  // shorter window scrolls it.
  const int design_height = Px(kMinHeight) - kFrameHeight;
  Panel1->setMinimumSize(wizard, design_height - StatusBar->height());
  const QSize room = ScreenRoom();
  const int bar = room.height() < design_height ? WizardScrollBox->verticalScrollBar()->sizeHint().width() : 0;
  int list = 0;
  if (DLScrollBox->parentWidget() == Splitter1 && !DLScrollBox->isHidden())
    list = Splitter1->handleWidth() + DLScrollBox->minimumSizeHint().width();
  const int window = std::min(std::max(wizard + bar + list, Px(kMinWidth) - kFrameWidth), room.width());
  WizardScrollBox->setMinimumWidth(std::max(0, std::min(wizard + bar, window - list)));
  const QSize before = size();
  setMinimumSize(window, std::min(design_height, room.height()));
  // A window the larger minimum grew keeps inside the screen.
  if (size() != before && isVisible()) FitToScreen(width());
}

void TfrmDownloader::ShowFocusedControl(QWidget* focused) {
  if (focused == nullptr || !Panel1->isAncestorOf(focused)) return;
  // The whole control, with a margin, as far as the wizard's view has room.
  const QRect at(focused->mapTo(Panel1, QPoint(0, 0)), focused->size());
  WizardScrollBox->ensureVisible(at.center().x(), at.center().y(), at.width() / 2 + Px(8), at.height() / 2 + Px(8));
}

void TfrmDownloader::URLCBxChange() {
  // The URL and the caption are read in UTF-8, the rule's encoding.
  const QString name = QString::fromStdString(
      SaveFileNameFromUrl(Text(GetSelectedURL()).toStdString(), URLCBx->currentText().toStdString()));
  SaveToFolderEdit->setText(FolderPart(SaveToFolderEdit->text()) + name);
  const bool browser = IsBrowserLink();
  FolderLabel->setVisible(!browser);
  SaveToFolderEdit->setVisible(!browser);
  FolderBtn->setVisible(!browser);
  DownloadBtn->setText(LiteralCaption(InterfaceQText(browser ? "Open_Button_Caption" : "Download_Button_Caption")));
  FitButtons();
  UpdateMinimumWidth();
}

void TfrmDownloader::FolderBtnClick() {
  TSaveDialogRequest request;
  request.parent = this;
  // The dialog opens where the destination field points.
  request.folder = FolderPart(SaveToFolderEdit->text());
  request.file_name = FileNamePart(SaveToFolderEdit->text());
  if (auto chosen = ShowSaveDialog(request)) SaveToFolderEdit->setText(*chosen);
}

void TfrmDownloader::DownloadBtnClick() {
  const std::string url = GetSelectedURL();
  if (IsBrowserLink()) {
    OpenBrowserLink(url);
    return;
  }
  StartProgramDownload(LinkUtf8(url));
}

void TfrmDownloader::ShowDownloadList() {
  if (ListBox1->count() == 1) {
    // The list sits in the download page, below the destination field.
    DLScrollBox->setFrameShape(QFrame::NoFrame);
    if (DLScrollBox->parentWidget() != DLPanel) DLScrollBox->setParent(DLPanel);
    const QRect edit = SaveToFolderEdit->geometry();
    const int top = edit.top() + edit.height() + Px(10);
    dl_anchors_->Place(DLScrollBox, {edit.left(), top, URLCBx->width(), BackBtn->y() - top}, akAll);
    DLScrollBox->show();
  } else if (DLScrollBox->isHidden()) {
    // The first time: the list opens right of the wizard.
    const int wanted = width() + Px(325);
    DLScrollBox->show();
    UpdateMinimumWidth();
    FitToScreen(wanted);
    repaint();
  }
}

void TfrmDownloader::StartProgramDownload(const std::string& url) {
  ShowDownloadList();
  if (FileNamePart(SaveToFolderEdit->text()).isEmpty()) URLCBxChange();
  // A second row of the same download would fight the first over its file.
  if (TDLVisualPanel* row = DLScrollBox->FindRow(url, QFile::encodeName(SaveToFolderEdit->text()).toStdString())) {
    DLScrollBox->SelectRow(row);
    // A running or paused row goes on as it is; an ended one starts again
    // (asking first about a file that is there).
    if (row->Job().ActionMode() != amCancel) row->StartDownload();
    return;
  }
  // What the catalogue says about the file goes with the row, which checks it.
  TXmlNode* link = TCatalogue::LinkNode(SelectedProduct(), URLCBx->currentIndex());
  const TExpectedFile expected = ExpectedFileOf(link);
  std::vector<std::string> mirrors = TCatalogue::MirrorUrls(SelectedProduct(), URLCBx->currentIndex());
  for (std::string& mirror : mirrors) mirror = LinkUtf8(mirror);
  AddDownloadRow(url, SaveToFolderEdit->text(), expected, std::move(mirrors),
                 TCatalogue::LinkIntegrity(link).connections);
}

TDLVisualPanel* TfrmDownloader::AddDownloadRow(const std::string& url, const QString& file,
                                               const TExpectedFile& expected,
                                               std::vector<std::string> mirrors, int connections) {
  TDLVisualPanel* row = DLScrollBox->AddDownload(url, QFile::encodeName(file).toStdString());
  row->Job().SetExpectedFile(expected);
  row->Job().SetMirrors(std::move(mirrors));
  // One connection per host unless the publisher allows more.
  row->Job().SetConnectionsPerHost(connections > 0 ? connections : 1);
  ConfigureRow(row);
  // The user may decline to replace an existing file: the row then goes. The
  // question runs the event loop, so the row may have gone with the window.
  QPointer<TDLVisualPanel> alive(row);
  if (row->StartDownload()) {
    if (alive) DLScrollBox->SelectRow(row);  // Tab into the list lands on it
    return alive;
  }
  if (alive) DLScrollBox->RemoveRow(row);
  return nullptr;
}

void TfrmDownloader::ConfigureRow(TDLVisualPanel* row) {
  // Transient failures are tried again; a link that fails for good hands the
  // download to its mirrors.
  row->Job().SetRetries(kDefaultRetries);
  // The proxies the environment names, for each client the row creates.
  const TProxySettings proxies = TProxySettings::FromEnvironment();
  row->Job().OnHttpClientCreated = [proxies](TDownloadJob*, THttpCli* http) { proxies.ApplyTo(*http); };
  row->Job().OnFtpClientCreated = [proxies](TDownloadJob*, TFtpClient* ftp) { proxies.ApplyTo(*ftp); };
  // The row takes the catalogue's texts in the catalogue's encoding.
  row->SetTextsUtf8(catalogue_.Utf8());
  row->RefitTexts();
  row->SetCancelCaption(catalogue_.InterfaceText("Cancel_Button_Caption"));
  row->SetDownloadCaption(catalogue_.InterfaceText("Download_Button_Caption"));
  row->OnFinished = [this](TDLVisualPanel* r) { TellDownloadEnded(r); };
  UseRateLimiter(&row->Job());
}

void TfrmDownloader::CreateTrafficMenus() {
  DLScrollBox->ListMenu->addSeparator();
  DownloadsAtOnceMenu = DLScrollBox->ListMenu->addMenu(QStringLiteral("Downloads at once"));
  auto* at_once = new QActionGroup(DownloadsAtOnceMenu);
  for (const int n : kAtOnceChoices) {
    QAction* action = DownloadsAtOnceMenu->addAction(QString::number(n), this, [this, n] { SetDownloadsAtOnce(n); });
    action->setCheckable(true);
    action->setData(n);
    at_once->addAction(action);
  }
  SpeedLimitMenu = DLScrollBox->ListMenu->addMenu(QStringLiteral("Limit speed"));
  auto* speeds = new QActionGroup(SpeedLimitMenu);
  auto add_speed = [&](const QString& text, int64_t rate) {
    QAction* action = SpeedLimitMenu->addAction(text, this, [this, rate] { SetSpeedLimit(rate); });
    action->setCheckable(true);
    action->setData(static_cast<qlonglong>(rate));
    speeds->addAction(action);
  };
  add_speed(QStringLiteral("No limit"), 0);
  for (const int64_t rate : kSpeedChoices) add_speed(AnsiToQString(FormatRate(static_cast<double>(rate))), rate);
  DLScrollBox->OnQueueChange = [this] { ShowTraffic(); };
}

void TfrmDownloader::ReadTrafficSettings() {
  // A value the store holds that is out of range counts as not set.
  bool ok = false;
  const int at_once = TSettingsStore::ReadString(kDownloadsAtOnce).value_or(QString()).toInt(&ok);
  DLScrollBox->SetQueueLimit(ok && at_once >= 1 && at_once <= kMaxAtOnce ? at_once : TDownloadQueue::kDefaultLimit);
  const qlonglong rate = TSettingsStore::ReadString(kSpeedLimit).value_or(QString()).toLongLong(&ok);
  speed_limit_ = ok && rate > 0 && rate <= (qlonglong{1} << 40) ? rate : 0;
  UseRateLimiter(nullptr);
  ShowTraffic();
}

int TfrmDownloader::DownloadsAtOnce() const { return DLScrollBox->QueueLimit(); }

void TfrmDownloader::SetDownloadsAtOnce(int n) {
  DLScrollBox->SetQueueLimit(std::clamp(n, 1, kMaxAtOnce));
  // A store that cannot be written is skipped: the choice lasts this run.
  TSettingsStore::WriteString(kDownloadsAtOnce, QString::number(DownloadsAtOnce()));
  ShowTraffic();
}

void TfrmDownloader::SetSpeedLimit(int64_t bytes_per_second) {
  speed_limit_ = std::max<int64_t>(0, bytes_per_second);
  TSettingsStore::WriteString(kSpeedLimit, QString::number(speed_limit_));
  UseRateLimiter(nullptr);
  ShowTraffic();
}

void TfrmDownloader::ShowTraffic() {
  StatusBar->SetTraffic(speed_limit_, DLScrollBox->QueuedCount());
  for (QAction* action : DownloadsAtOnceMenu->actions()) action->setChecked(action->data().toInt() == DownloadsAtOnce());
  for (QAction* action : SpeedLimitMenu->actions()) action->setChecked(action->data().toLongLong() == speed_limit_);
}

void TfrmDownloader::UseRateLimiter(TDownloadJob* job) {
  // One limiter for every row, so that the limit holds for all of them
  // together; its rate is the window's speed limit (0: none).
  limiter_.SetRate(speed_limit_);
  if (job) job->SetRateLimiter(&limiter_);
}

std::string TfrmDownloader::CatalogueKey(const TCatalogueInUse& in_use, const std::string& program_file) {
  const std::optional<TTrustState>& trust = in_use.Trust();
  std::string id = trust ? trust->id : std::string();
  if (id.empty()) id = in_use.Catalogue().CatalogueId();
  if (!id.empty()) return TCatalogue::IsPlainCatalogueId(id) ? "id-" + id : "id-sha256-" + TSha256Hasher::HexOf(id);
  if (trust) return "key-" + HexEncode(trust->key);
  return "program-" + TSha256Hasher::HexOf(QFileInfo(QFile::decodeName(QByteArray::fromStdString(program_file)))
                                               .absoluteFilePath()
                                               .toStdString());
}

std::string TfrmDownloader::DownloadListPath() const {
  return TTrustRecord::Folder() + "/downloads-" + CatalogueKey(in_use_, program_file_) + ".json";
}

void TfrmDownloader::TakePublisherName() {
  // Read before the window is first shown: the window system takes the
  // class name then. What is wrong with the catalogue FormShow says.
  std::optional<TCatalogueInUse> in_use(std::in_place);
  QString caption;
  try {
    in_use->LoadFromProgramFile(program_file_);
    if (in_use->SignatureProblem().empty())
      caption = DocTextToQString(in_use->Catalogue().InterfaceText("Window_Caption"), in_use->Catalogue().Utf8());
  } catch (const std::exception&) {
    in_use.emplace();
  }
  if (!caption.isEmpty()) QCoreApplication::setApplicationName(caption);
  QGuiApplication::setDesktopFileName(FileNamePart(QFile::decodeName(QByteArray::fromStdString(program_file_))));
  TSettingsStore::SetScope(QString::fromStdString(CatalogueKey(*in_use, program_file_)));
}

void TfrmDownloader::RestoreDownloadList() {
  list_restored_ = true;
  const std::string path = DownloadListPath();
  std::vector<TSavedDownload> saved;
  try {
    saved = ReadDownloadList(path);
  } catch (const EDownloadListStore& e) {
    // The user's rows may be in a list of another version: it is kept, not
    // overwritten by the new list.
    try {
      const std::string aside = SetAsideDownloadList(path);
      std::fprintf(stderr, "quillon: the download list %s cannot be used: %s; it is kept as %s and a new list begins\n",
                   path.c_str(), e.what(), aside.c_str());
    } catch (const EDownloadListStore& again) {
      std::fprintf(stderr, "quillon: the download list %s cannot be used: %s; %s, so this list is not saved\n",
                   path.c_str(), e.what(), again.what());
      return;
    }
  }
  DLScrollBox->SetListFile(path);
  if (saved.empty()) return;
  ShowDownloadList();
  std::vector<std::pair<int, TDLVisualPanel*>> queued;
  for (const TSavedDownload& s : saved) {  // oldest first: the newest ends on top
    TDLVisualPanel* row = DLScrollBox->AddDownload(s.url, s.file);
    ConfigureRow(row);
    row->Restore(s, CatalogueLinkOf(s.url));
    if (s.state == TSavedDownload::kQueued) queued.emplace_back(s.queue_place, row);
  }
  // Queued rows wait again in their order, and start as slots are free.
  std::stable_sort(queued.begin(), queued.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<TDLVisualPanel*> line;
  for (const auto& q : queued) line.push_back(q.second);
  DLScrollBox->WaitInLine(line);
}

std::optional<TCatalogueLink> TfrmDownloader::CatalogueLinkOf(const std::string& url) {
  for (TXmlNode* product : catalogue_.ProductNodes()) {
    const std::vector<TXmlNode*> links = TCatalogue::LinkNodes(product);
    for (int i = 0; i < static_cast<int>(links.size()); ++i)
      if (!TCatalogue::IsBrowserLink(links[i]) && LinkUtf8(TCatalogue::FieldText(links[i], "URL")) == url) {
        // Rows keep their URLs in UTF-8, as they were started.
        std::vector<std::string> mirrors = TCatalogue::MirrorUrls(product, i);
        for (std::string& mirror : mirrors) mirror = LinkUtf8(mirror);
        return TCatalogueLink{ExpectedFileOf(links[i]), std::move(mirrors),
                              TCatalogue::LinkIntegrity(links[i]).connections};
      }
  }
  return std::nullopt;
}

TExpectedFile TfrmDownloader::ExpectedFileOf(TXmlNode* link) const {
  const TCatalogue::TLinkIntegrity integrity = TCatalogue::LinkIntegrity(link);
  TExpectedFile expected;
  expected.size = integrity.size.value_or(-1);
  expected.sha256 = integrity.sha256;
  expected.pieces = integrity.pieces;
  expected.error = integrity.error;
  // A hash from an update nobody signed is checked, but proves nothing.
  expected.authenticated = in_use_.HashesAuthenticated();
  return expected;
}

void TfrmDownloader::TellDownloadEnded(TDLVisualPanel* row) {
  // A user who looks at the window sees the row.
  if (closing_ || isActiveWindow()) return;
  const QString file = QFile::decodeName(QByteArray::fromStdString(row->LocalFilename()));
  TDesktopNotification notification;
  notification.summary = QFileInfo(file).fileName();
  notification.body = row->StatusText();
  // A click on the notification itself (its default action) brings the
  // window to the front.
  notification.actions = {{QStringLiteral("default"), QStringLiteral("Show")}};
  if (row->Job().ActionMode() == amOpen) {
    notification.actions.push_back({QStringLiteral("open"), QStringLiteral("Open")});
    notification.actions.push_back({QStringLiteral("show-in-folder"), QStringLiteral("Show in folder")});
  }
  // The row may be gone when the user picks an action; the file is what counts.
  QPointer<TfrmDownloader> window(this);
  notification.on_action = [window, file](const QString& key) {
    if (key == QStringLiteral("open")) {
      OpenWithDesktopOrSay(window.data(), file, QFileInfo(file).fileName());
    } else if (key == QStringLiteral("show-in-folder")) {
      ShowInFolder(window.data(), file);
    } else if (key == QStringLiteral("default") && window) {
      if (window->isMinimized()) window->showNormal();
      window->raise();
      window->activateWindow();
    }
  };
  if (!notifier_) notifier_ = std::make_unique<TDesktopNotifier>();
  notifier_->Notify(std::move(notification));
}

void TfrmDownloader::OpenBrowserLink(const std::string& url) {
  // Only web addresses go to the desktop: a catalogue (which may come over the
  // network) must not make the desktop open a local file or run a program.
  const QString text = Text(url);
  if (TCatalogue::IsWebAddress(text)) {
    OpenWithDesktopOrSay(this, text, text);
    return;
  }
  TMessageBoxRequest request;
  request.parent = this;
  request.text = QStringLiteral("This link is not a web address and is not opened:\n") + text;
  request.icon = TMsgIcon::miWarning;
  ShowMessageBox(request);
}

void TfrmDownloader::ScreenshotBtnClick() {
  auto* item = ListBox1->currentItem();
  QDialog window(this);
  window.setWindowTitle(QStringLiteral("Screenshot: ") + (item ? item->text() : QString()));
  auto* layout = new QVBoxLayout(&window);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* image = new QLabel(&window);
  image->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  layout->addWidget(image);
  LoadScreenshot(image);
  // The client area takes the picture's size; a screenshot that decodes to
  // nothing leaves the window at its default size instead of none.
  if (!image->pixmap().isNull()) window.resize(image->pixmap().size());
  window.move(frameGeometry().center() - QPoint(window.width() / 2, window.height() / 2));
  ExecModal(window);
}

// ---------------------------------------------------------------- steps

TXmlNode* TfrmDownloader::GetProgramNodeGroup(int index) { return catalogue_.ProductNode(index); }

TXmlNode* TfrmDownloader::SelectedProduct() { return GetProgramNodeGroup(ListBox1->currentRow()); }

bool TfrmDownloader::SelectedProductHasLinks() {
  return TCatalogue::LinkNode(SelectedProduct(), 0) != nullptr;
}

void TfrmDownloader::GetDestinationFolder() {
  QString folder = ReadFolderSetting();
  if (folder.isEmpty()) folder = ProgramFolder() + QStringLiteral("Downloads/");
  if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
  SaveToFolderEdit->setText(folder);
}

QString TfrmDownloader::ReadFolderSetting() {
  const auto saved = TSettingsStore::ReadString(kLastSaveDirectory);
  if (saved && !saved->isEmpty()) return *saved;
  return DownloadFolder();
}

void TfrmDownloader::SaveLastFolder() {
  // A store that cannot be written is skipped: the folder is then not kept.
  TSettingsStore::WriteString(kLastSaveDirectory, FolderPart(SaveToFolderEdit->text()));
}

void TfrmDownloader::FillWizard() {
  ApplyCatalogue();
  if (ListBox1->count() == 1) {
    NextBtnClick();
    BackBtn->hide();
  } else {
    // An update may turn a catalogue of one product into a longer one.
    BackBtn->show();
  }
  LoadLogo();
  // Shrink the product list to its content; it never grows.
  const int h = QFontMetrics(font()).height();
  const int n = ListBox1->count();
  if ((h + 2) * n < ListBox1->height()) {
    QRect list = ListBox1->geometry();
    list.setHeight((h + 2) * n);
    product_anchors_->SetBounds(ListBox1, list);
    QRect icon = Image1->geometry();
    icon.moveTop(list.bottom() + 1 + 7);
    product_anchors_->SetBounds(Image1, icon);
    QRect memo = ProductDescriptionMemo->geometry();
    memo.moveTop(icon.top());
    memo.setHeight(NextBtn->y() - memo.top() - 7);
    product_anchors_->SetBounds(ProductDescriptionMemo, memo);
  }
}

void TfrmDownloader::ApplyCatalogue() {
  SetMemoLines(MainDescriptionMemo, catalogue_.InterfaceText("Top_Paragraph"));
  NextBtn->setText(LiteralCaption(InterfaceQText("Next_Button_Caption")));
  BackBtn->setText(LiteralCaption(InterfaceQText("Previous_Button_Caption")));
  DownloadBtn->setText(LiteralCaption(InterfaceQText("Download_Button_Caption")));
  FitButtons();
  ProductPromptLabel->setText(InterfaceQText("Product_Prompt"));
  FitLabel(product_anchors_, ProductPromptLabel);
  FolderLabel->setText(InterfaceQText("Folder_to_save_to_Prompt"));
  FitLabel(dl_anchors_, FolderLabel);
  ListBox1->setAccessibleName(ProductPromptLabel->text());
  SaveToFolderEdit->setAccessibleName(FolderLabel->text());
  setWindowTitle(InterfaceQText("Window_Caption"));
  // An update may rename the program.
  if (!windowTitle().isEmpty()) QCoreApplication::setApplicationName(windowTitle());

  const QSignalBlocker quiet(ListBox1);
  ListBox1->clear();
  const int h = QFontMetrics(font()).height();
  for (TXmlNode* product : catalogue_.ProductNodes()) {
    auto* item = new QListWidgetItem(Text(TCatalogue::FieldText(product, "Program_Name")), ListBox1);
    item->setSizeHint(QSize(0, h));
  }
  if (ListBox1->count() > 0) ListBox1->setCurrentRow(0);
  UpdateListToolTips();
  // Without a product there is no next page.
  NextBtn->setEnabled(SelectedProductHasLinks());
}

void TfrmDownloader::FillLinks(int index) {
  const QSignalBlocker quiet(URLCBx);
  URLCBx->clear();
  for (TXmlNode* link : TCatalogue::LinkNodes(GetProgramNodeGroup(index)))
    URLCBx->addItem(Text(TCatalogue::FieldText(link, "Description")));
  if (URLCBx->count() > 0) URLCBx->setCurrentIndex(0);
}

// A picture for a place of `width` x `height` (at 1x): one larger is scaled
// down to fit, keeping its proportions, at the screen's pixel ratio so that it
// stays sharp on a 2x screen; a smaller one is shown as it is.
static QPixmap FittedPicture(const QImage& picture, int width, int height, qreal ratio) {
  if (picture.width() <= width && picture.height() <= height) return QPixmap::fromImage(picture);
  QImage fitted = picture.scaled(QSize(width, height) * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  fitted.setDevicePixelRatio(ratio);
  return QPixmap::fromImage(fitted);
}

void TfrmDownloader::LoadLogo() {
  const QImage image = TCatalogue::DecodePicture(catalogue_.InterfaceBinary("Splash_Logo"));
  if (image.isNull()) return;
  const QPixmap fitted = FittedPicture(image, Px(TCatalogue::kLogoWidth), Px(TCatalogue::kLogoHeight),
                                       devicePixelRatioF());
  const QSize logo = fitted.deviceIndependentSize().toSize();
  LogoImage->setPixmap(fitted);
  panel1_anchors_->SetBounds(LogoImage, QRect(LogoImage->pos(), logo));
  QRect memo = MainDescriptionMemo->geometry();
  memo.moveLeft(LogoImage->x() + LogoImage->width() + 10);
  memo.setWidth(Panel1->contentsRect().width() - memo.left() - 10);
  panel1_anchors_->SetBounds(MainDescriptionMemo, memo);
}

void TfrmDownloader::LoadIcon() {
  Image1->clear();
  const QImage icon = TCatalogue::DecodePicture(TCatalogue::FieldBinary(SelectedProduct(), "Icon"));
  if (!icon.isNull())
    Image1->setPixmap(FittedPicture(icon, Px(TCatalogue::kIconWidth), Px(TCatalogue::kIconHeight), devicePixelRatioF()));
}

void TfrmDownloader::LoadScreenshot(QLabel* image) {
  const QImage shot = TCatalogue::DecodePicture(TCatalogue::FieldBinary(SelectedProduct(), "Screenshot"));
  if (shot.isNull()) return;
  // A screenshot larger than the screen's free area (less room for the
  // window's frame) is scaled down to fit it, keeping its proportions, and
  // drawn for the screen's pixel density so that it stays sharp.
  const QSize room = screen()->availableGeometry().size() * 9 / 10;
  if (shot.width() <= room.width() && shot.height() <= room.height()) {
    image->setPixmap(QPixmap::fromImage(shot));
    return;
  }
  const qreal ratio = devicePixelRatioF();
  QPixmap scaled = QPixmap::fromImage(shot.scaled(room * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  scaled.setDevicePixelRatio(ratio);
  image->setPixmap(scaled);
}

bool TfrmDownloader::HasScreenshot() { return TCatalogue::HasScreenshot(SelectedProduct()); }

bool TfrmDownloader::IsBrowserLink() {
  return TCatalogue::IsBrowserLink(TCatalogue::LinkNode(SelectedProduct(), URLCBx->currentIndex()));
}

std::string TfrmDownloader::GetSelectedURL() {
  return TCatalogue::FieldText(TCatalogue::LinkNode(SelectedProduct(), URLCBx->currentIndex()), "URL");
}

void TfrmDownloader::UpdateScrollBars() {
  const int h = QFontMetrics(font()).height();
  for (QPlainTextEdit* memo : {ProductDescriptionMemo, MainDescriptionMemo}) {
    const bool needed = memo->height() < h * VisibleLineCount(memo);
    memo->setVerticalScrollBarPolicy(needed ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  }
}

void TfrmDownloader::UpdateListToolTips() {
  // The view draws a name inside the item's focus margins and cuts it with "…".
  const int margin = ListBox1->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, ListBox1) + 1;
  const int room = ListBox1->viewport()->width() - 2 * margin;
  const QFontMetrics metrics = ListBox1->fontMetrics();
  for (int i = 0; i < ListBox1->count(); ++i) {
    QListWidgetItem* item = ListBox1->item(i);
    item->setToolTip(metrics.horizontalAdvance(item->text()) > room ? item->text() : QString());
  }
}

QSize TfrmDownloader::ScreenRoom() const {
  const QScreen* shown_on = screen() ? screen() : QGuiApplication::primaryScreen();
  if (shown_on == nullptr) return QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  // The frame the window system draws around the client area (none before
  // the window is shown: the window's own estimate then).
  QSize frame = frameGeometry().size() - size();
  if (frame.isEmpty()) frame = QSize(kFrameWidth, kFrameHeight);
  return shown_on->availableGeometry().size() - frame;
}

void TfrmDownloader::FitToScreen(int wanted) {
  const QScreen* shown_on = screen() ? screen() : QGuiApplication::primaryScreen();
  if (shown_on == nullptr) return;
  const QRect area = shown_on->availableGeometry();
  const QSize room = ScreenRoom();
  const QSize frame = area.size() - room;
  const int w = std::max(minimumWidth(), std::min(wanted, room.width()));
  resize(w, std::max(minimumHeight(), std::min(height(), room.height())));
  if (DLScrollBox->parentWidget() == Splitter1 && !DLScrollBox->isHidden()) {
    // The list keeps up to 325 pixels; the wizard gives way down to its minimum.
    const int handle = Splitter1->handleWidth();
    const int panel =
        std::max(WizardScrollBox->minimumWidth(), std::min(WizardScrollBox->width(), w - handle - Px(325)));
    Splitter1->setSizes({panel, std::max(0, w - handle - panel)});
  }
  // The whole frame inside the area, its top left corner first.
  const QPoint at = frameGeometry().topLeft();
  const int x = std::max(area.left(), std::min(at.x(), area.right() + 1 - (w + frame.width())));
  const int y = std::max(area.top(), std::min(at.y(), area.bottom() + 1 - (height() + frame.height())));
  // Between showing the window and the window system's frame, a move would
  // place the client area where the frame belongs: the window stays where
  // SetUpWindow put it until then.
  const bool framed = frameGeometry() != geometry();
  if (QPoint(x, y) != at && (framed || !isVisible())) move(x, y);
  ShowFocusedControl(focusWidget());
}

bool TfrmDownloader::DownloadPageInFront() const { return !DLPanel->isHidden(); }

}  // namespace quillon
