#include "app/form_downloader.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShowEvent>
#include <QSplitter>
#include <QStyle>
#include <QTextBlock>
#include <QTextLayout>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/my_status.h"
#include "download/dl_scroll_box.h"
#include "download/dl_visual_panel.h"
#include "base/memory_stream.h"
#include "net/http/http_cli.h"
#include "platform/anchors.h"
#include "platform/ansi_text.h"
#include "platform/application.h"
#include "platform/desktop_services.h"
#include "platform/dialogs.h"
#include "platform/settings_store.h"

namespace quillon {

namespace {

const QString kLastSaveDirectory = QStringLiteral("Last Save Directory");

// Panel1's starting size: the client area less the status bar.
constexpr int kPanel1Width = 312;
constexpr int kPanel1Height = 366 - 19;
constexpr int kPageWidth = 275;
constexpr int kPageHeight = 235;

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

// The screenshot button's glyph: a small framed picture.
QIcon ScreenshotGlyph() {
  QPixmap pix(20, 20);
  pix.fill(Qt::transparent);
  QPainter p(&pix);
  p.setPen(QColor(64, 64, 64));
  p.setBrush(QColor(173, 216, 230));
  p.drawRect(2, 3, 15, 12);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(34, 139, 34));
  p.drawPolygon(QPolygon({QPoint(3, 15), QPoint(8, 8), QPoint(12, 13), QPoint(14, 11), QPoint(17, 15)}));
  p.setBrush(QColor(255, 200, 0));
  p.drawEllipse(QPoint(13, 7), 2, 2);
  return QIcon(pix);
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
  CreateControls();
  RunHandler([this] { FormCreate(); });
}

TfrmDownloader::~TfrmDownloader() = default;

void TfrmDownloader::CreateControls() {
  setWindowTitle(QStringLiteral("Downloader"));
  QFont f = font();
  f.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
  f.setPixelSize(11);  // 8 points at 96 dots per inch
  setFont(f);
  setMinimumSize(kMinWidth - kFrameWidth, kMinHeight - kFrameHeight);
  resize(kWindowWidth - kFrameWidth, kWindowHeight - kFrameHeight);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  Splitter1 = new QSplitter(Qt::Horizontal, this);
  Splitter1->setHandleWidth(9);
  Splitter1->setChildrenCollapsible(false);
  layout->addWidget(Splitter1, 1);
  StatusBar = new TmyStatusBar(this);
  StatusBar->setFixedHeight(19);
  layout->addWidget(StatusBar);

  Panel1 = new QFrame(Splitter1);
  Panel1->resize(kPanel1Width, kPanel1Height);
  DLScrollBox = new TDLScrollBox(Splitter1);
  DLScrollBox->hide();
  Splitter1->addWidget(Panel1);
  Splitter1->addWidget(DLScrollBox);
  Splitter1->setStretchFactor(0, 0);
  Splitter1->setStretchFactor(1, 1);

  panel1_anchors_ = new TAnchors(Panel1);
  LogoImage = new QLabel(Panel1);
  LogoImage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  panel1_anchors_->Place(LogoImage, {8, 8, 97, 90});
  MainDescriptionMemo = Memo(Panel1);
  panel1_anchors_->Place(MainDescriptionMemo, {112, 8, 185, 89}, akLeft | akTop | akRight);

  // The product page.
  ProductPanel = Page(Panel1);
  ProductPanel->resize(kPageWidth, kPageHeight);
  product_anchors_ = new TAnchors(ProductPanel);
  ProductPromptLabel = new QLabel(QStringLiteral(".Product to download:"), ProductPanel);
  ProductPromptLabel->setTextFormat(Qt::PlainText);  // catalogue texts show literally
  product_anchors_->Place(ProductPromptLabel, {0, 8, ProductPromptLabel->sizeHint().width(), 13});
  ListBox1 = new QListWidget(ProductPanel);
  ListBox1->setUniformItemSizes(true);
  product_anchors_->Place(ListBox1, {8, 24, 251, 93}, akLeft | akTop | akRight);
  Image1 = new QLabel(ProductPanel);
  Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  product_anchors_->Place(Image1, {12, 124, 32, 32});
  ScreenshotBtn = new QToolButton(ProductPanel);
  ScreenshotBtn->setAutoRaise(true);
  ScreenshotBtn->setIcon(ScreenshotGlyph());
  ScreenshotBtn->setIconSize(QSize(20, 20));
  product_anchors_->Place(ScreenshotBtn, {13, 160, 30, 30});
  ProductDescriptionMemo = Memo(ProductPanel);
  ProductDescriptionMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  product_anchors_->Place(ProductDescriptionMemo, {48, 124, 211, 74}, akAll);
  NextBtn = new QPushButton(QStringLiteral(".Next >>"), ProductPanel);
  product_anchors_->Place(NextBtn, {194, 204, 75, 25}, akRight | akBottom);
  UpdateBtn = new QPushButton(QStringLiteral("Retrieve Updates"), ProductPanel);
  product_anchors_->Place(UpdateBtn, {8, 212, 97, 17}, akLeft | akBottom);
  UpdateBtn->hide();

  // The download page, on top of the product page.
  DLPanel = Page(Panel1);
  DLPanel->resize(kPageWidth, kPageHeight);
  dl_anchors_ = new TAnchors(DLPanel);
  ProductLabel = new QLabel(DLPanel);
  ProductLabel->setTextFormat(Qt::PlainText);
  dl_anchors_->Place(ProductLabel, {0, 8, 0, 13});
  URLCBx = new QComboBox(DLPanel);
  URLCBx->setEditable(false);
  dl_anchors_->Place(URLCBx, {8, 25, 253, 21}, akLeft | akTop | akRight);
  FolderLabel = new QLabel(QStringLiteral(".Folder to save to:"), DLPanel);
  FolderLabel->setTextFormat(Qt::PlainText);
  dl_anchors_->Place(FolderLabel, {0, 56, FolderLabel->sizeHint().width(), 13});
  SaveToFolderEdit = new QLineEdit(DLPanel);
  SaveToFolderEdit->setEnabled(false);
  dl_anchors_->Place(SaveToFolderEdit, {8, 72, 227, 21}, akLeft | akTop | akRight);
  FolderBtn = new QPushButton(DLPanel);
  FolderBtn->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  dl_anchors_->Place(FolderBtn, {242, 72, 25, 25}, akTop | akRight);
  BackBtn = new QPushButton(QStringLiteral(".<< Back"), DLPanel);
  dl_anchors_->Place(BackBtn, {111, 204, 75, 25}, akRight | akBottom);
  DownloadBtn = new QPushButton(QStringLiteral(".Download"), DLPanel);
  dl_anchors_->Place(DownloadBtn, {194, 204, 75, 25}, akRight | akBottom);

  panel1_anchors_->Place(ProductPanel, {16, 104, kPageWidth, kPageHeight}, akAll);
  panel1_anchors_->Place(DLPanel, {16, 104, kPageWidth, kPageHeight}, akAll);

  // Handlers. Lists and the drop-down report only the user's choices (their
  // programmatic changes run with signals blocked).
  connect(ListBox1, &QListWidget::currentRowChanged, this, [this] { RunHandler([this] { ListBox1Click(); }); });
  connect(ListBox1, &QListWidget::itemDoubleClicked, this, [this] { RunHandler([this] { ListBox1DblClick(); }); });
  connect(NextBtn, &QPushButton::clicked, this, [this] { RunHandler([this] { NextBtnClick(); }); });
  connect(BackBtn, &QPushButton::clicked, this, [this] { RunHandler([this] { BackBtnClick(); }); });
  connect(URLCBx, &QComboBox::activated, this, [this] { RunHandler([this] { URLCBxChange(); }); });
  connect(FolderBtn, &QPushButton::clicked, this, [this] { RunHandler([this] { FolderBtnClick(); }); });
  connect(DownloadBtn, &QPushButton::clicked, this, [this] { RunHandler([this] { DownloadBtnClick(); }); });
  connect(ScreenshotBtn, &QToolButton::clicked, this, [this] { RunHandler([this] { ScreenshotBtnClick(); }); });
  connect(UpdateBtn, &QPushButton::clicked, this, [this] { RunHandler([this] { UpdateBtnClick(); }); });
  connect(Splitter1, &QSplitter::splitterMoved, this, [this] { RunHandler([this] { Splitter1Moved(); }); });
}

QString TfrmDownloader::Text(const std::string& bytes) const { return DocTextToQString(bytes, catalogue_.Utf8()); }

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
  RunHandler([this] { FormShow(); });
  // A window that is shown becomes the active one (and so runs FormActivate),
  // also where no window manager hands out the focus.
  activateWindow();
}

void TfrmDownloader::closeEvent(QCloseEvent* event) {
  RunHandler([this] { FormClose(); });
  event->accept();
}

void TfrmDownloader::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::ActivationChange) return;
  if (isActiveWindow()) {
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

void TfrmDownloader::FormCreate() {
  GetDestinationFolder();
  // Widen the wizard so that the destination path fits its field.
  const int w = QFontMetrics(font()).horizontalAdvance(SaveToFolderEdit->text() + QStringLiteral("WWWWWW"));
  const int panel_width = w + Panel1->width() - SaveToFolderEdit->width();
  // The window (frame included) is the panel's width + 10; Panel1 fills it.
  resize(std::max(panel_width + 10 - kFrameWidth, minimumWidth()), height());
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  catalogue_.Clear();
}

void TfrmDownloader::FormShow() {
  ProductPanel->raise();
  catalogue_.LoadFromProgramFile(program_file_);
  FillWizard();
  if (catalogue_.OfferUpdate(today_()) && !update_pressed_) UpdateBtn->show();
}

void TfrmDownloader::UpdateBtnClick() {
  TXmlNode* node = catalogue_.InterfaceNode("Data_URL");
  if (node == nullptr) return;
  const std::string url = catalogue_.InterfaceText("Data_URL");
  if (!url.empty()) RetrieveUpdates(url);
}

bool TfrmDownloader::RetrieveUpdates(const std::string& url) {
  // A press while the last one still waits for its answer changes nothing.
  if (url.empty() || update_running_) return false;
  update_running_ = true;
  update_pressed_ = true;
  // Whatever happens below, the button goes for good.
  struct Finally {
    TfrmDownloader* w;
    ~Finally() {
      w->update_running_ = false;
      w->UpdateBtn->hide();
    }
  } finally{this};

  update_http_ = std::make_unique<THttpCli>();
  TMemoryStream stream;
  update_http_->SetURL(url);
  update_http_->SetRcvdStream(&stream);
  StatusBar->SetSimpleText(QStringLiteral("Downloading updates."));
  bool failed = false;
  try {
    update_http_->Get();
    // A response that could not be read to its end (a broken header, a
    // reset connection) is no catalogue either, whatever its status.
    failed = update_http_->RequestDoneError() != 0;
  } catch (const EHttpException&) {
    failed = true;
  }
  update_http_->SetRcvdStream(nullptr);
  if (failed) {
    TMessageBoxRequest request;
    request.parent = this;
    request.text = QStringLiteral("Failed : \r\n") + QString::number(update_http_->StatusCode()) +
                   QStringLiteral(" ") + QStringLiteral("\r\n") + Text(update_http_->ReasonPhrase());
    ShowMessageBox(request);
    return false;
  }
  stream.Seek(0, TSeekOrigin::soBeginning);
  catalogue_.LoadFromStream(stream);
  FillWizard();
  return true;
}

void TfrmDownloader::FormActivate() { ListBox1Click(); }

void TfrmDownloader::FormResize() { UpdateScrollBars(); }

void TfrmDownloader::Splitter1Moved() { UpdateScrollBars(); }

void TfrmDownloader::FormClose() {
  SaveLastFolder();
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
  ProductLabel->setText(ListBox1->currentItem()->text());
  ProductLabel->adjustSize();
  FillLinks(ListBox1->currentRow());
  URLCBxChange();
  DLPanel->raise();
}

void TfrmDownloader::BackBtnClick() { ProductPanel->raise(); }

void TfrmDownloader::URLCBxChange() {
  const QString name = Text(UrlFileName(GetSelectedURL()));
  SaveToFolderEdit->setText(FolderPart(SaveToFolderEdit->text()) + name);
  const bool browser = IsBrowserLink();
  FolderLabel->setVisible(!browser);
  SaveToFolderEdit->setVisible(!browser);
  FolderBtn->setVisible(!browser);
  DownloadBtn->setText(InterfaceQText(browser ? "Open_Button_Caption" : "Download_Button_Caption"));
}

void TfrmDownloader::FolderBtnClick() {
  TSaveDialogRequest request;
  request.parent = this;
  request.folder = ProgramFolder();
  request.file_name = FileNamePart(SaveToFolderEdit->text());
  if (auto chosen = ShowSaveDialog(request)) SaveToFolderEdit->setText(*chosen);
}

void TfrmDownloader::DownloadBtnClick() {
  const std::string url = GetSelectedURL();
  if (IsBrowserLink()) {
    OpenBrowserLink(url);
    return;
  }
  StartProgramDownload(url);
}

void TfrmDownloader::StartProgramDownload(const std::string& url) {
  if (ListBox1->count() == 1) {
    // The list sits in the download page, below the destination field.
    DLScrollBox->setFrameShape(QFrame::NoFrame);
    if (DLScrollBox->parentWidget() != DLPanel) DLScrollBox->setParent(DLPanel);
    const QRect edit = SaveToFolderEdit->geometry();
    const int top = edit.top() + edit.height() + 10;
    dl_anchors_->Place(DLScrollBox, {edit.left(), top, URLCBx->width(), BackBtn->y() - top}, akAll);
    DLScrollBox->show();
  } else if (DLScrollBox->isHidden()) {
    // The first time: the list opens right of the wizard.
    const int panel_width = Panel1->width();
    DLScrollBox->show();
    resize(width() + 325, height());
    Splitter1->setSizes({panel_width, width() - panel_width - Splitter1->handleWidth()});
    repaint();
  }
  if (FileNamePart(SaveToFolderEdit->text()).isEmpty()) URLCBxChange();
  AddDownloadRow(url, SaveToFolderEdit->text());
}

TDLVisualPanel* TfrmDownloader::AddDownloadRow(const std::string& url, const QString& file) {
  TDLVisualPanel* row = DLScrollBox->AddDownload(url, QFile::encodeName(file).toStdString());
  row->SetCancelCaption(QStringToAnsi(InterfaceQText("Cancel_Button_Caption")));
  row->SetDownloadCaption(QStringToAnsi(InterfaceQText("Download_Button_Caption")));
  row->StartDownload();
  return row;
}

void TfrmDownloader::OpenBrowserLink(const std::string& url) {
  // Only web addresses go to the desktop: a catalogue (which may come over the
  // network) must not make the desktop open a local file or run a program.
  const QString text = Text(url);
  const QString scheme = QUrl(text).scheme().toLower();
  if (scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
      scheme == QLatin1String("ftp") || scheme == QLatin1String("mailto")) {
    OpenWithDesktop(text);
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
  return DesktopFolder();
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
  NextBtn->setText(InterfaceQText("Next_Button_Caption"));
  BackBtn->setText(InterfaceQText("Previous_Button_Caption"));
  DownloadBtn->setText(InterfaceQText("Download_Button_Caption"));
  ProductPromptLabel->setText(InterfaceQText("Product_Prompt"));
  ProductPromptLabel->adjustSize();
  FolderLabel->setText(InterfaceQText("Folder_to_save_to_Prompt"));
  FolderLabel->adjustSize();
  setWindowTitle(InterfaceQText("Window_Caption"));

  const QSignalBlocker quiet(ListBox1);
  ListBox1->clear();
  const int h = QFontMetrics(font()).height();
  for (TXmlNode* product : catalogue_.ProductNodes()) {
    auto* item = new QListWidgetItem(Text(TCatalogue::FieldText(product, "Program_Name")), ListBox1);
    item->setSizeHint(QSize(0, h));
  }
  if (ListBox1->count() > 0) ListBox1->setCurrentRow(0);
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

void TfrmDownloader::LoadLogo() {
  const QImage logo = TCatalogue::DecodePicture(catalogue_.InterfaceBinary("Splash_Logo"));
  if (logo.isNull()) return;
  LogoImage->setPixmap(QPixmap::fromImage(logo));
  panel1_anchors_->SetBounds(LogoImage, QRect(LogoImage->pos(), logo.size()));
  QRect memo = MainDescriptionMemo->geometry();
  memo.moveLeft(LogoImage->x() + LogoImage->width() + 10);
  memo.setWidth(Panel1->contentsRect().width() - memo.left() - 10);
  panel1_anchors_->SetBounds(MainDescriptionMemo, memo);
}

void TfrmDownloader::LoadIcon() {
  Image1->clear();
  const QImage icon = TCatalogue::DecodePicture(TCatalogue::FieldBinary(SelectedProduct(), "Icon"));
  if (!icon.isNull()) Image1->setPixmap(QPixmap::fromImage(icon));
}

void TfrmDownloader::LoadScreenshot(QLabel* image) {
  const QImage shot = TCatalogue::DecodePicture(TCatalogue::FieldBinary(SelectedProduct(), "Screenshot"));
  if (!shot.isNull()) image->setPixmap(QPixmap::fromImage(shot));
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

bool TfrmDownloader::DownloadPageInFront() const {
  // Children are stacked in list order: the last one is in front.
  const auto& stack = Panel1->children();
  return stack.indexOf(DLPanel) > stack.indexOf(ProductPanel);
}

}  // namespace quillon
