#include "rows/dl_visual_panel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAccessible>
#include <QDate>
#include <QDateTime>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QTextDocument>
#include <QTime>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <thread>
#include <vector>

#include <ctime>
#include <system_error>

#include "base/sha256_hasher.h"
#include "rows/colors.h"
#include "rows/download_accessibility.h"
#include "rows/fit_file_name.h"
#include "download/download_queue.h"
#include "download/file_name_rule.h"
#include "download/partial_file.h"
#include "platform/ansi_text.h"
#include "platform/widgets/desktop_services.h"
#include "platform/widgets/dialogs.h"

namespace quillon {

namespace {

// The links' height at the design's font.
constexpr int kLinkHeight = 15;
// Room between the row's texts and the links at its right.
constexpr int kTextGap = 4;

QString FileNameToQString(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

void SetLinkLook(TClickLabel* link) {
  QFont font = link->font();
  font.setUnderline(true);
  link->setFont(font);
  link->setForegroundRole(QPalette::Link);  // the desktop's link colour, also after a theme change
  link->setCursor(Qt::PointingHandCursor);
  link->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  link->Link = true;
}

// A tooltip that shows `text` as written, also when it looks like markup.
QString PlainToolTip(const QString& text) {
  if (!Qt::mightBeRichText(text)) return text;
  return QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

QDateTime DateTimeToQDateTime(TDateTime v) {
  return QDateTime(QDate(1899, 12, 30), QTime(0, 0)).addMSecs(static_cast<qint64>(v * 86400000.0 + 0.5));
}

}  // namespace

TDLVisualPanel::TDLVisualPanel(QWidget* owner) : QFrame(owner) {
  hide();
  resize(owner ? owner->width() : 400, RowHeight(font()));
  setFrameShape(QFrame::Panel);
  SetBevelOuter(bvLowered);
  InstallDownloadAccessibility();

  FileIcon = new QLabel(this);
  FileIcon->setAlignment(Qt::AlignCenter);
  FileIcon->hide();

  ProgressCyl = new TProgressCyl(this);
  ProgressCyl->SetOrientation(pbVertical);
  ProgressCyl->SetFontSize(8);
  ProgressCyl->SetBorderWidth(0);
  ProgressCyl->SetProEffect(peGlassOrange);
  ProgressCyl->SetMin(0);
  ProgressCyl->SetMax(100);
  ProgressCyl->SetPosition(0);
  ProgressCyl->OnClick = [this](TProgressCyl*) { RowClick(); };
  ProgressCyl->setAttribute(Qt::WA_NoMousePropagation);  // the click above is the only one

  auto make_label = [this](const char* text) {
    auto* label = new TClickLabel(this);
    label->setTextFormat(Qt::PlainText);  // URLs, file names and server texts
    label->setText(text);
    label->OnClick = [this](TClickLabel*) { RowClick(); };
    return label;
  };
  URLLabel = make_label("...");
  StartTimeLabel = make_label("");
  StartTimeLabel->hide();
  FileNameLabel = make_label("local filename");
  StatusLabel = make_label("...");

  ActionLink = new TClickLabel(this);
  SetLinkLook(ActionLink);
  ActionLink->setText("Download");
  ActionLink->Tag = amStart;
  ActionLink->OnClick = [this](TClickLabel*) { ActionClick(); };

  PauseLink = new TClickLabel(this);
  SetLinkLook(PauseLink);
  PauseLink->setText("Pause");
  PauseLink->OnClick = [this](TClickLabel*) { PauseClick(); };

  // Where the pause link was: a complete file has no pause link.
  ShowFolderLink = new TClickLabel(this);
  SetLinkLook(ShowFolderLink);
  ShowFolderLink->setText(QStringLiteral("Show in folder"));
  ShowFolderLink->OnClick = [this](TClickLabel*) {
    if (RowClick()) ShowInFolder();
  };
  ShowFolderLink->hide();
  PlaceControls();

  job_.SetResumeQuestion(this);
  job_.OnChange = [this](TDownloadJob*) { Sync(); };
  shown_fit_count_ = job_.ActionFitCount();
  show();
}

int TDLVisualPanel::RowHeight(const QFont& font) {
  return std::max(kRowHeight, static_cast<int>(std::lround(kRowHeight * QFontMetrics(font).height() /
                                                           static_cast<double>(kDesignLineHeight))));
}

int TDLVisualPanel::LinkHeight() const { return std::max(kLinkHeight, fontMetrics().height() + 2); }

// The design's places, for the row's font: the row, the cylinder and the
// icon as high as the text needs, the texts spread over the cylinder's
// height, the links stacked at the bottom right.
void TDLVisualPanel::PlaceControls() {
  const int row_height = RowHeight(font());
  setFixedHeight(row_height);
  FileIcon->setGeometry(4, 2, 32, row_height - 2);
  ProgressCyl->SetBounds(10, 5, 25, row_height - 10);
  const int cyl_top = ProgressCyl->y();
  const int cyl_height = ProgressCyl->height();
  for (QLabel* label : {URLLabel, StartTimeLabel, FileNameLabel, StatusLabel}) label->adjustSize();
  PlaceLabel(URLLabel, 40, cyl_top);
  StartTimeLabel->move(40, StartTimeLabel->isHidden() ? 0 : StartTimeLabel->y());
  PlaceLabel(FileNameLabel, 40, cyl_top + cyl_height / 2 - FileNameLabel->height() / 2);
  PlaceLabel(StatusLabel, 40, cyl_top + cyl_height - StatusLabel->height() - 1);
  status_lines_ = 1;
  const int link_height = LinkHeight();
  ActionLink->adjustSize();
  ActionLink->setGeometry(width() - ActionLink->width() - 4, row_height - link_height - 2, ActionLink->width(),
                          link_height);
  PauseLink->setGeometry(ActionLink->x(), row_height - 2 * link_height - 4, ActionLink->width(), link_height);
  action_gap_ = width() - ActionLink->x();
  pause_gap_ = width() - PauseLink->x();
  folder_gap_ = ShowFolderLink->fontMetrics().horizontalAdvance(ShowFolderLink->text()) + 8 + 2;
  ShowFolderLink->setGeometry(width() - folder_gap_, PauseLink->y(), folder_gap_ - 2, link_height);
}

TDLVisualPanel::~TDLVisualPanel() {
  job_.OnChange = nullptr;
  DropFileCheck();  // the worker stops; its report goes with check_target_
  // The job goes with the row: its client and destination file are closed.
}

void TDLVisualPanel::PlaceLabel(QLabel* label, int left, int top) { label->move(left, top); }

int TDLVisualPanel::TextWidth(const std::string& text) const {
  return QFontMetrics(font()).horizontalAdvance(CatalogueText(text));
}

QString TDLVisualPanel::CatalogueText(const std::string& text) const { return DocTextToQString(text, texts_utf8_); }

// A status may name a host or a file in any script (UTF-8); the job's own
// texts and a server's are windows-1252.
QString TDLVisualPanel::StatusText() const {
  if (queue_place_ > 0) return QString::fromStdString(QueuedText(queue_place_));
  return MessageToQString(job_.Status());
}

QString TDLVisualPanel::DescribedStatus() const {
  return described_.Told().isEmpty() ? StatusText() : described_.Told();
}

void TDLVisualPanel::TellStatus() {
  const bool running = job_.DownloadInProgress();
  // The state: the role, the offered action and whether a transfer runs.
  const int state = (static_cast<int>(job_.Role()) * 16 + static_cast<int>(job_.ActionMode())) * 2 + running;
  const uint32_t now = TDescriptionPacer::Now();
  if (described_.Offer(StatusText(), state, running, now)) {
    QAccessibleEvent described(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&described);
  }
  const std::optional<uint32_t> wait = described_.Wait(now);
  if (!wait) {
    if (describe_timer_ != nullptr) describe_timer_->stop();
    return;
  }
  if (describe_timer_ == nullptr) {
    describe_timer_ = new QTimer(this);
    describe_timer_->setSingleShot(true);
    connect(describe_timer_, &QTimer::timeout, this, [this] { TellStatus(); });
  }
  if (!describe_timer_->isActive()) describe_timer_->start(static_cast<int>(*wait));
}

void TDLVisualPanel::SetBevelOuter(TBevelCut v) {
  bevel_outer_ = v;
  setFrameShadow(v == bvRaised ? QFrame::Raised : QFrame::Sunken);
}

void TDLVisualPanel::SetURLDownload(const std::string& v) {
  job_.SetURL(v);
  ShowText(URLLabel, CatalogueText(v), Qt::ElideMiddle);
}

int TDLVisualPanel::TextRight() const { return std::min(ActionLink->x(), PauseLink->x()) - kTextGap; }

int TDLVisualPanel::UpperTextRight() const {
  if (ShowFolderLink->isHidden()) return TextRight();
  return std::min(TextRight(), ShowFolderLink->x() - kTextGap);
}

void TDLVisualPanel::ShowText(TClickLabel* label, const QString& full, Qt::TextElideMode mode) {
  const int max_width = std::max(0, UpperTextRight() - label->x());
  label->setToolTip(PlainToolTip(full));
  label->setText(label->fontMetrics().elidedText(full, mode, max_width));
  label->adjustSize();
  if (label->width() > max_width) label->resize(max_width, label->height());
}

void TDLVisualPanel::ShowStatus(const QString& full) {
  const QFontMetrics metrics = StatusLabel->fontMetrics();
  const int max_width = std::max(0, TextRight() - StatusLabel->x());
  QString shown;
  // A second line fits when four lines of text fit the row's height, and
  // would not reach beside "Show in folder".
  if (metrics.horizontalAdvance(full) > max_width && 4 * metrics.height() <= height() &&
      ShowFolderLink->isHidden()) {
    // The longest first line that ends at a double space (where the progress
    // line parts sizes from rate and time), else at any space; the rest goes below.
    for (const QString& gap : {QStringLiteral("  "), QStringLiteral(" ")}) {
      for (qsizetype i = full.lastIndexOf(gap); i > 0 && shown.isEmpty(); i = full.lastIndexOf(gap, i - 1)) {
        const qsizetype cut = i + gap.size() - 1;  // the last space of the gap
        if (metrics.horizontalAdvance(full.left(cut)) > max_width) continue;
        shown = full.left(cut) + QLatin1Char('\n') + metrics.elidedText(full.mid(cut + 1), Qt::ElideRight, max_width);
      }
      if (!shown.isEmpty()) break;
    }
  }
  const int lines = shown.isEmpty() ? 1 : 2;
  if (shown.isEmpty()) shown = metrics.elidedText(full, Qt::ElideRight, max_width);
  StatusLabel->setToolTip(PlainToolTip(full));
  StatusLabel->setText(shown);
  StatusLabel->adjustSize();
  if (StatusLabel->width() > max_width) StatusLabel->resize(max_width, StatusLabel->height());
  if (lines == status_lines_) return;
  status_lines_ = lines;
  // Three lines (URL, file, status) are spread as before; four share the
  // row's height in equal gaps.
  const int h = URLLabel->height();
  const int cyl_top = ProgressCyl->y();
  const int cyl_height = ProgressCyl->height();
  if (lines == 1) {
    URLLabel->move(URLLabel->x(), cyl_top);
    FileNameLabel->move(FileNameLabel->x(), cyl_top + cyl_height / 2 - FileNameLabel->height() / 2);
    StatusLabel->move(StatusLabel->x(), cyl_top + cyl_height - StatusLabel->height() - 1);
  } else {
    const int gap = std::max(0, (height() - 4 * h) / 5);
    URLLabel->move(URLLabel->x(), gap);
    FileNameLabel->move(FileNameLabel->x(), 2 * gap + h);
    StatusLabel->move(StatusLabel->x(), 3 * gap + 2 * h);
  }
}

void TDLVisualPanel::RefitTexts() {
  if (!job_.URL().empty()) ShowText(URLLabel, CatalogueText(RedactedUrl(job_.URL())), Qt::ElideMiddle);
  ShowStatus(StatusText());
  RefitFileName();
}

void TDLVisualPanel::SetLocalFilename(const std::string& v) {
  job_.SetLocalFilename(v);
  RefitFileName();
}

void TDLVisualPanel::RefitFileName() {
  if (job_.LocalFilename().empty()) return;  // the placeholder stays until there is a file
  // The folders give way first (".../"); a name that is still too wide is
  // shortened with "…" in its middle.
  const int max_width = UpperTextRight() - FileNameLabel->x();
  // File names are in the file system's encoding.
  QFontMetrics metrics(font());
  const QString fitted = FileNameToQString(FitFileName(job_.LocalFilename(), max_width, [&](const std::string& s) {
    return metrics.horizontalAdvance(FileNameToQString(s));
  }));
  ShowText(FileNameLabel, fitted, Qt::ElideMiddle);
  FileNameLabel->setToolTip(PlainToolTip(FileNameToQString(job_.LocalFilename())));
}

void TDLVisualPanel::SetDLStartTime(TDateTime v) {
  FileNameLabel->move(FileNameLabel->x(), URLLabel->y() + URLLabel->height() + 4);
  dl_start_time_ = v;
  StartTimeLabel->move(StartTimeLabel->x(), FileNameLabel->y() + FileNameLabel->height() + 4);
  StartTimeLabel->show();
  StartTimeLabel->setText("Start download: " + QLocale().toString(DateTimeToQDateTime(v), QLocale::ShortFormat));
  StartTimeLabel->adjustSize();
}

bool TDLVisualPanel::StartDownload() {
  if (queue_place_ > 0) return true;
  if (!ConfirmExistingFile()) return false;
  if (MayStart && !MayStart(this)) return true;
  DropFileCheck();
  missing_ = false;
  started_at_ = static_cast<int64_t>(std::time(nullptr));
  auto alive = lifetime_.Token();
  starting_ = true;
  job_.StartDownload();
  if (!alive) return true;
  starting_ = false;
  // A start its first checks refused has ended already: the list frees its slot.
  if (!job_.DownloadInProgress()) static_cast<void>(FireEvent(lifetime_, OnStateChange, this));
  return true;
}

void TDLVisualPanel::StartQueued() {
  auto alive = lifetime_.Token();
  starting_ = true;
  SetQueuePlace(0);
  if (!alive) return;
  if (job_.Phase() == TJobPhase::kPaused && !job_.DownloadInProgress()) {
    job_.PauseClick();  // continues NAME.part as Resume would
  } else {
    DropFileCheck();
    missing_ = false;
    started_at_ = static_cast<int64_t>(std::time(nullptr));
    job_.StartDownload();
  }
  if (!alive) return;
  starting_ = false;
  if (!job_.DownloadInProgress()) static_cast<void>(FireEvent(lifetime_, OnStateChange, this));
}

void TDLVisualPanel::SetQueuePlace(int place) {
  if (place == queue_place_) return;
  queue_place_ = place;
  Sync();
}

bool TDLVisualPanel::ConfirmExistingFile() {
  const std::string file = job_.LocalFilename();
  const auto elsewhere = [this](const std::string& f) { return WrittenElsewhere && WrittenElsewhere(f); };
  struct stat st {};
  if (!job_.DownloadInProgress() && !file.empty() && !elsewhere(file) && ::lstat(file.c_str(), &st) == 0) {
    const QString name = QFileInfo(FileNameToQString(file)).fileName();
    TMessageBoxRequest request;
    request.parent = window();
    request.caption = name;
    request.text = name + QStringLiteral(" already exists. Replace it?");
    request.buttons = TMsgButtons::mbReplaceKeepBothCancel;
    request.icon = TMsgIcon::miQuestion;
    QPointer<TDLVisualPanel> alive(this);
    const TMsgResult answer = ShowMessageBox(request);
    if (!alive || (answer != TMsgResult::mrReplace && answer != TMsgResult::mrKeepBoth)) return false;
    if (answer == TMsgResult::mrKeepBoth) SetLocalFilename(FreeNumberedPath(file, elsewhere));
  }
  return true;
}

namespace {

// Bytes in the regular file `path`; -1 when there is none.
int64_t RegularFileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

// Restored files up to this size are hashed at once, larger ones on a worker.
constexpr int64_t kHashAtOnceBytes = int64_t{1} << 20;
constexpr uint32_t kFileCheckedMsg = 1;

// The SHA-256 of the regular file `path` (hexadecimal) when it holds exactly
// `size` bytes; "" when it does not, cannot be read, or `dropped` was set.
std::string FileSha256(const std::string& path, int64_t size, const std::atomic<bool>& dropped) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return "";
  std::string digest;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == size) {
    TSha256Hasher hasher;
    std::vector<char> buffer(1 << 16);
    ssize_t n = -1;
    while (!dropped) {
      n = ::read(fd, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      hasher.Update(buffer.data(), static_cast<size_t>(n));
    }
    if (n == 0 && !dropped && hasher.Length() == static_cast<uint64_t>(size)) digest = hasher.HexDigest();
  }
  ::close(fd);
  return digest;
}

}  // namespace

struct TDLVisualPanel::TFileCheck {
  std::string path;
  int64_t size = -1;
  std::atomic<bool> dropped{false};  // the row went or started: stop early
  std::string sha256;                // FileSha256's result, written by the worker before it reports
};

std::optional<TSavedDownload> TDLVisualPanel::SavedDownload() const {
  TSavedDownload saved;
  saved.url = job_.PickedURL();  // a start begins with it, the mirrors follow
  saved.file = job_.LocalFilename();
  // A row whose file went keeps its completion text: the file may come back.
  saved.status = missing_ ? missing_status_ : check_ ? complete_text_ : job_.Status();
  saved.started = started_at_;
  saved.expected_size = job_.ExpectedFile().size;
  saved.expected_sha256 = job_.ExpectedFile().sha256;
  saved.authenticated = job_.ExpectedFile().authenticated;
  saved.mirrors = job_.Mirrors();
  if (Finished()) {
    saved.state = TSavedDownload::kFinished;
    saved.received = saved.total = RegularFileSize(saved.file);
    return saved;
  }
  const bool restored_paused = job_.Phase() == TJobPhase::kPaused && !job_.DownloadInProgress();
  const bool never_started = !job_.DownloadInProgress() && job_.Status() == "...";
  if (never_started && queue_place_ == 0) return std::nullopt;
  saved.state = job_.DownloadInProgress() || job_.RetryPending() || restored_paused ? TSavedDownload::kPaused
                                                                                    : TSavedDownload::kFailed;
  if (queue_place_ > 0) {
    saved.state = TSavedDownload::kQueued;
    saved.queue_place = queue_place_;
    if (never_started) saved.status.clear();
  }
  const std::string part = PartialFileName(saved.file);
  saved.received = RegularFileSize(part);
  TPartInfo info;
  saved.total = ReadPartInfo(part, info) && info.total > 0 ? info.total : saved.expected_size;
  return saved;
}

void TDLVisualPanel::Restore(const TSavedDownload& saved, const std::optional<TCatalogueLink>& link) {
  started_at_ = saved.started;
  DropFileCheck();
  // The list proves nothing about the file: what it should be is what the
  // catalogue says today.
  job_.SetExpectedFile(link ? link->expected : TExpectedFile{});
  job_.SetMirrors(link ? link->mirrors : std::vector<std::string>{});
  job_.SetConnectionsPerHost(link && link->connections > 0 ? link->connections : 1);
  job_.SetMakesFolder(false);
  if (saved.state == TSavedDownload::kFinished) {
    const int64_t size = RegularFileSize(saved.file);
    missing_ = size < 0;
    missing_status_ = saved.status;
    if (missing_) return job_.ShowRestored(TDownloadJob::rsMissing, "", 100);
    complete_text_ = saved.status.starts_with("Completed.") ? "Completed." : "Download Complete.";
    const TExpectedFile& expected = job_.ExpectedFile();
    if (expected.size >= 0 && size != expected.size) return ShowCheckedFile(false);
    if (expected.sha256.empty() || !expected.error.empty())
      return job_.ShowRestored(TDownloadJob::rsFinished, complete_text_, 100);
    check_ = std::make_shared<TFileCheck>();
    check_->path = saved.file;
    check_->size = size;
    if (size <= kHashAtOnceBytes) {
      const bool same = FileSha256(saved.file, size, check_->dropped) == expected.sha256;
      return ShowCheckedFile(same);
    }
    if (!check_target_)
      check_target_ = std::make_unique<platform::MessageTarget>(static_cast<platform::MessageHandler*>(this));
    try {
      std::thread([check = check_, poster = check_target_->Poster(), serial = ++check_serial_] {
        check->sha256 = FileSha256(check->path, check->size, check->dropped);
        poster.Post(kFileCheckedMsg, serial, 0);
      }).detach();
    } catch (const std::system_error&) {  // no thread to be had: hashed here
      return ShowCheckedFile(FileSha256(saved.file, size, check_->dropped) == expected.sha256);
    }
    return job_.ShowRestored(TDownloadJob::rsFinished, "Checking the file's SHA-256...", 100);
  }
  // What the part holds now tells where Resume goes on; a part that is gone
  // starts from nothing.
  const std::string part = PartialFileName(saved.file);
  const int64_t received = RegularFileSize(part);
  // A queued row waits as it was (the list gives it its place): with a part,
  // paused on it so that its turn continues it; without one, not started.
  if (saved.state == TSavedDownload::kQueued && received <= 0) return;
  if (saved.state == TSavedDownload::kFailed && received <= 0) {
    job_.ShowRestored(TDownloadJob::rsFailed, saved.status.empty() ? "Download failed." : saved.status, 0);
    return;
  }
  TPartInfo info;
  const int64_t total = ReadPartInfo(part, info) && info.total > 0 ? info.total : saved.total;
  const int position = received > 0 && total > 0 ? static_cast<int>(std::min<int64_t>(100, received * 100 / total)) : 0;
  job_.ShowRestored(TDownloadJob::rsPaused, "", position);
}

void TDLVisualPanel::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t) {
  if (msg != kFileCheckedMsg || !check_ || wParam != check_serial_) return;
  ShowCheckedFile(check_->sha256 == job_.ExpectedFile().sha256);
}

void TDLVisualPanel::ShowCheckedFile(bool same) {
  check_.reset();
  if (!same) return job_.ShowRestored(TDownloadJob::rsFailed, "File changed since download.", 0);
  const bool verified = !job_.ExpectedFile().sha256.empty() && job_.ExpectedFile().authenticated;
  job_.ShowRestored(TDownloadJob::rsFinished, verified ? complete_text_ + " (verified)" : complete_text_, 100);
}

void TDLVisualPanel::DropFileCheck() {
  if (check_) check_->dropped = true;
  check_.reset();
}

void TDLVisualPanel::SetActionCaption(const std::string& text) {
  ActionLink->setText(CatalogueText(text));
  int w = TextWidth(text) + 8;
  ActionLink->setGeometry(width() - w - 2, ActionLink->y(), w, LinkHeight());
  action_gap_ = w + 2;
  RefitTexts();  // the texts end before the link
}

void TDLVisualPanel::ShowFileIcon() {
  QString file = FileNameToQString(job_.LocalFilename());
  if (!QFile::exists(file)) return;
  QIcon icon = quillon::FileIcon(file);
  // Drawn for the screen's pixel density, so it is sharp when scaled.
  FileIcon->setPixmap(icon.pixmap(QSize(32, 32), devicePixelRatioF()));
  FileIcon->show();
  FileIcon->repaint();
  ProgressCyl->hide();
  icon_loaded_ = true;
}

// Shows what the job reports.
void TDLVisualPanel::Sync() {
  // The URL being fetched: a mirror's while it is tried.
  if (!job_.URL().empty() && URLLabel->toolTip() != PlainToolTip(CatalogueText(RedactedUrl(job_.URL()))))
    ShowText(URLLabel, CatalogueText(RedactedUrl(job_.URL())), Qt::ElideMiddle);
  if (StatusLabel->toolTip() != PlainToolTip(StatusText())) ShowStatus(StatusText());
  TellStatus();
  if (job_.Role() != shown_role_) {
    shown_role_ = job_.Role();
    update();
  }
  ColourLinks();
  // A waiting row offers "Start now" where the job's link would be.
  const bool queued = queue_place_ > 0;
  const std::string caption = queued ? "Start now" : job_.ActionCaption();
  if (job_.ActionFitCount() != shown_fit_count_ || queued != shown_queued_) {
    shown_fit_count_ = job_.ActionFitCount();
    shown_queued_ = queued;
    SetActionCaption(caption);
  } else if (ActionLink->text() != CatalogueText(caption)) {
    ActionLink->setText(CatalogueText(caption));
  }
  ActionLink->Tag = queued ? amStart : job_.ActionMode();
  ActionLink->setEnabled(queued || job_.ActionEnabled());
  PauseLink->setText(AnsiToQString(job_.PauseCaption()));
  PauseLink->setVisible(job_.PauseVisible() && !queued);
  if (job_.IconShown() && !icon_loaded_) {
    ShowFileIcon();
  } else if (!job_.IconShown() && (icon_loaded_ || ProgressCyl->isHidden())) {
    FileIcon->hide();
    icon_loaded_ = false;
    ProgressCyl->show();
  }
  // "Done" only for a complete file: a failed or running transfer that has
  // every byte shows "100%".
  ProgressCyl->SetTextDone(job_.ActionMode() == amOpen ? "Done" : "");
  const int position = ProgressCyl->Position();
  ProgressCyl->SetPosition(job_.Position());
  if (ProgressCyl->Position() != position) {
    QAccessibleValueChangeEvent moved(ProgressCyl, ProgressCyl->Position());
    QAccessible::updateAccessibility(&moved);
  }
  if (const bool complete = job_.ActionMode() == amOpen; ShowFolderLink->isHidden() == complete) {
    ShowFolderLink->setVisible(complete);
    RefitTexts();  // the texts end before the link
  }
  const bool running = job_.DownloadInProgress();
  const bool ended = was_running_ && !running;
  was_running_ = running;
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
  // The end of a transfer (complete, failed or cancelled) is said aloud
  // without taking the focus.
  if (ended) {
    QAccessibleAnnouncementEvent said(this, StatusText());
    said.setPoliteness(QAccessible::AnnouncementPoliteness::Polite);
    QAccessible::updateAccessibility(&said);
  }
#endif
  if (!FireEvent(lifetime_, OnStateChange, this)) return;
  if (ended) static_cast<void>(FireEvent(lifetime_, OnFinished, this));
}

bool TDLVisualPanel::RowClick() { return FireEvent(lifetime_, OnClick, this); }

void TDLVisualPanel::ActionClick() {
  if (!RowClick()) return;
  if (queue_place_ > 0) {
    static_cast<void>(FireEvent(lifetime_, OnStartNow, this));
    return;
  }
  switch (static_cast<TActionMode>(ActionLink->Tag)) {
    case amOpen: {
      const QString file = FileNameToQString(job_.LocalFilename());
      OpenWithDesktopOrSay(window(), file, QFileInfo(file).fileName());
      break;
    }
    case amStart: StartDownload(); break;
    case amCancel: job_.Cancel(); break;
  }
}

void TDLVisualPanel::ShowInFolder() {
  if (job_.ActionMode() != amOpen) return;
  quillon::ShowInFolder(window(), FileNameToQString(job_.LocalFilename()));
}

void TDLVisualPanel::PauseClick() {
  auto alive = lifetime_.Token();
  // Resume of a row brought back paused starts it: an existing NAME is asked
  // about first, as for any start.
  const bool starts = job_.Phase() == TJobPhase::kPaused && !job_.DownloadInProgress();
  if (starts && !ConfirmExistingFile()) {
    if (alive) RowClick();
    return;
  }
  if (starts && alive && MayStart && !MayStart(this)) {  // waits its turn, still paused
    if (alive) RowClick();
    return;
  }
  if (starts && alive) {
    StartQueued();
    if (alive) RowClick();
    return;
  }
  job_.PauseClick();  // its change may end the transfer, and the row with it
  if (alive) RowClick();
}

bool TDLVisualPanel::AskResume(const std::string& question) {
  TMessageBoxRequest request;
  request.parent = window();
  // The question is the same for every row; its title says which file it is about.
  request.caption = QFileInfo(FileNameToQString(job_.LocalFilename())).fileName();
  request.text = AnsiToQString(question).replace("\r\n", "\n");
  request.buttons = TMsgButtons::mbYesNo;
  request.icon = TMsgIcon::miInformation;
  return ShowMessageBox(request) == TMsgResult::mrYes;
}

void TDLVisualPanel::mousePressEvent(QMouseEvent* event) {
  pressed_ = event->button() == Qt::LeftButton;
  event->accept();
}

void TDLVisualPanel::mouseReleaseEvent(QMouseEvent* event) {
  bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
  pressed_ = false;
  event->accept();
  if (click) RowClick();
}

void TDLVisualPanel::ColourLinks() {
  // The palette's link colour where it is readable on the row, else one that is.
  const QColor colour = RowLinkColor(shown_role_, palette());
  for (TClickLabel* link : {ActionLink, PauseLink, ShowFolderLink}) {
    if (link->palette().color(QPalette::Active, QPalette::Link) == colour) continue;
    QPalette pal = link->palette();
    pal.setColor(QPalette::Active, QPalette::Link, colour);
    pal.setColor(QPalette::Inactive, QPalette::Link, colour);
    link->setPalette(pal);
  }
}

void TDLVisualPanel::changeEvent(QEvent* event) {
  QFrame::changeEvent(event);
  if (event->type() == QEvent::PaletteChange && ShowFolderLink != nullptr) ColourLinks();
  if (event->type() != QEvent::FontChange || ShowFolderLink == nullptr) return;
  // A new desktop font: the places follow its size, the texts are fitted anew.
  PlaceControls();
  SetActionCaption(job_.ActionCaption());
}

void TDLVisualPanel::paintEvent(QPaintEvent* event) {
  // The role's colour is taken from the palette at each paint: a palette
  // change repaints the row, so a theme change is followed.
  if (shown_role_ == TRowRole::kFailed || shown_role_ == TRowRole::kFinished)
    QPainter(this).fillRect(rect(), RowRoleColor(shown_role_, palette()));
  QFrame::paintEvent(event);
}

void TDLVisualPanel::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  // The links are anchored to the right edge.
  ActionLink->move(width() - action_gap_, ActionLink->y());
  PauseLink->move(width() - pause_gap_, PauseLink->y());
  ShowFolderLink->move(width() - folder_gap_, ShowFolderLink->y());
  RefitTexts();
}

}  // namespace quillon
