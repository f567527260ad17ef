#include "rows/dl_scroll_box.h"

#include <unistd.h>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "rows/dl_visual_panel.h"
#include "rows/download_accessibility.h"
#include "rows/row_keys.h"
#include "download/download_list_store.h"
#include "platform/widgets/dialogs.h"
#include "platform/timer.h"

namespace quillon {

TDLScrollBox::TDLScrollBox(QWidget* owner) : QScrollArea(owner) {
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setWidgetResizable(false);
  content_ = new QWidget;
  content_->resize(viewport()->width(), 0);
  setWidget(content_);
  setFocusPolicy(Qt::StrongFocus);
  InstallDownloadAccessibility();

  // Drawn over the row's edge; the row's labels and links stay under the mouse.
  focus_frame_ = new QFrame(content_);
  focus_frame_->setFrameStyle(QFrame::Box | QFrame::Plain);
  focus_frame_->setLineWidth(2);
  focus_frame_->setAttribute(Qt::WA_TransparentForMouseEvents);
  focus_frame_->hide();

  CloseButton = new QPushButton(content_);
  CloseButton->setEnabled(true);
  // The desktop's window-close symbol stands in for the cross of a symbol font.
  CloseButton->setIcon(style()->standardIcon(QStyle::SP_TitleBarCloseButton));
  CloseButton->setIconSize(QSize(11, 11));
  CloseButton->setFlat(false);
  CloseButton->setGeometry(width() - 15 - 12, 2, 15, 15);
  CloseButton->setFocusPolicy(Qt::NoFocus);
  CloseButton->setAccessibleName(QStringLiteral("Close"));
  CloseButton->hide();
  connect(CloseButton, &QPushButton::clicked, this, [this] { RemoveSelected(); });

  ListMenu = new QMenu(this);
  StartNowAction = ListMenu->addAction(QStringLiteral("Start now"), this, [this] { StartNow(SelectedRow()); });
  MoveUpAction = ListMenu->addAction(QStringLiteral("Move up"), this, [this] { MoveUp(SelectedRow()); });
  MoveUpAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Up));  // shown; the list's key does it
  MoveUpAction->setShortcutContext(Qt::WidgetShortcut);
  ListMenu->addSeparator();
  ClearFinishedAction = ListMenu->addAction(QStringLiteral("Clear finished"), this, [this] { ClearFinished(); });
  save_timer_ = std::make_unique<platform::OneShotTimer>();
  save_timer_->OnTimer = [this] { SaveNow(); };
}

TDLScrollBox::~TDLScrollBox() {
  // The rows go after this object's members: they report to it no more.
  for (TDLVisualPanel* row : Rows()) row->OnStateChange = nullptr;
  queue_held_ = true;
}

std::vector<TDLVisualPanel*> TDLScrollBox::Rows() const {
  std::vector<TDLVisualPanel*> rows;
  for (QObject* child : content_->children())
    if (auto* row = dynamic_cast<TDLVisualPanel*>(child)) rows.push_back(row);
  return rows;
}

void TDLScrollBox::changeEvent(QEvent* event) {
  QScrollArea::changeEvent(event);
  // The rows have taken the new font's height by now: they stack anew.
  if (event->type() == QEvent::FontChange) Relayout();
}

// Rows stack newest first; the content is as wide as the visible area and as
// high as its rows.
void TDLScrollBox::Relayout() {
  std::vector<TDLVisualPanel*> rows = Rows();
  int width = viewport()->width();
  int top = 0;
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
    (*it)->setGeometry(0, top, width, (*it)->height());  // the row's height follows its font
    top += (*it)->height();
  }
  content_->resize(width, std::max(top, viewport()->height()));
  PlaceCloseButton();
  UpdateFocusFrame();
}

void TDLScrollBox::PlaceCloseButton() {
  if (selected_.isNull()) {
    CloseButton->hide();
    return;
  }
  CloseButton->move(CloseButton->x(), selected_->y() + 2);
  CloseButton->show();
  CloseButton->raise();
}

std::vector<TDLVisualPanel*> TDLScrollBox::RowsTopDown() const {
  std::vector<TDLVisualPanel*> rows = Rows();
  std::reverse(rows.begin(), rows.end());
  return rows;
}

TDLVisualPanel* TDLScrollBox::SelectedRow() const { return selected_; }

TDLVisualPanel* TDLScrollBox::FindRow(const std::string& URL, const std::string& LocalFilename) const {
  for (TDLVisualPanel* row : Rows())
    if (row->Job().PickedURL() == URL && row->LocalFilename() == LocalFilename) return row;
  return nullptr;
}

void TDLScrollBox::UpdateFocusFrame() {
  TDLVisualPanel* row = SelectedRow();
  if (row == nullptr || !hasFocus()) {
    focus_frame_->hide();
    return;
  }
  QPalette p = focus_frame_->palette();
  p.setColor(QPalette::WindowText, palette().color(QPalette::Highlight));
  focus_frame_->setPalette(p);
  focus_frame_->setGeometry(row->geometry());
  focus_frame_->show();
  focus_frame_->raise();
  CloseButton->raise();
}

void TDLScrollBox::SelectRow(TDLVisualPanel* row) {
  RowSelected(row);
  ensureWidgetVisible(row, 0, 0);
}

void TDLScrollBox::keyPressEvent(QKeyEvent* event) {
  const TRowKeyAction action = RowKeyAction(event->key(), event->modifiers());
  if (action == TRowKeyAction::kNone) {
    QScrollArea::keyPressEvent(event);  // paging, or the window's keys
    return;
  }
  // The list's keys stay with the list, also where no row can take them.
  event->accept();
  TDLVisualPanel* row = SelectedRow();
  if (action == TRowKeyAction::kMenu) {
    // Where the Menu key's menu opens: at the selected row, else at the list's top.
    ShowListMenu(row ? row->mapToGlobal(QPoint(row->width() / 2, row->height() / 2))
                     : viewport()->mapToGlobal(QPoint(0, 0)));
    return;
  }
  const std::vector<TDLVisualPanel*> rows = RowsTopDown();
  if (rows.empty()) return;
  const int index = row ? static_cast<int>(std::find(rows.begin(), rows.end(), row) - rows.begin()) : -1;
  const int last = static_cast<int>(rows.size()) - 1;
  switch (action) {
    case TRowKeyAction::kPrevious: SelectRow(rows[std::max(index - 1, 0)]); break;
    case TRowKeyAction::kNext: SelectRow(rows[index < 0 ? 0 : std::min(index + 1, last)]); break;
    case TRowKeyAction::kFirst: SelectRow(rows.front()); break;
    case TRowKeyAction::kLast: SelectRow(rows.back()); break;
    case TRowKeyAction::kNone: break;
    default: {
      if (row == nullptr) break;
      // The row's own actions may run the event loop (a question, a message)
      // and end with the row or the list gone: nothing follows them here.
      // A row without a pause link that offers a start (failed, cancelled)
      // starts again by Space as by Enter.
      const int mode = row->ActionLink->Tag;
      if (action == TRowKeyAction::kPauseResume && !row->PauseLink->isHidden()) row->PauseLink->Click();
      else if (action == TRowKeyAction::kPauseResume && mode == amStart) row->ActionLink->Click();
      if (action == TRowKeyAction::kOpen && (mode == amOpen || mode == amStart)) row->ActionLink->Click();
      if (action == TRowKeyAction::kCancel && mode == amCancel) row->ActionLink->Click();
      if (action == TRowKeyAction::kShowInFolder) row->ShowInFolder();
      if (action == TRowKeyAction::kRemove) RemoveByKey(index);
      if (action == TRowKeyAction::kMoveUp) MoveUp(row);
      break;
    }
  }
}

void TDLScrollBox::RemoveByKey(int index) {
  QPointer<TDLScrollBox> alive(this);
  RemoveSelected();
  // Kept (the user said No), or the list went while the question ran.
  if (!alive || SelectedRow() != nullptr) return;
  const std::vector<TDLVisualPanel*> rows = RowsTopDown();
  if (!rows.empty()) SelectRow(rows[std::min<size_t>(index, rows.size() - 1)]);
}

void TDLScrollBox::focusInEvent(QFocusEvent* event) {
  QScrollArea::focusInEvent(event);
  // A click selects the row it falls on; Tab comes to the selected row, or
  // to the top one.
  if (event->reason() != Qt::MouseFocusReason && SelectedRow() == nullptr && !Rows().empty())
    SelectRow(RowsTopDown().front());
  else if (TDLVisualPanel* row = SelectedRow()) {
    QAccessibleEvent focus(row, QAccessible::Focus);
    QAccessible::updateAccessibility(&focus);
  }
  UpdateFocusFrame();
}

void TDLScrollBox::focusOutEvent(QFocusEvent* event) {
  QScrollArea::focusOutEvent(event);
  UpdateFocusFrame();
}

TDLVisualPanel* TDLScrollBox::AddDownload(const std::string& URL, const std::string& LocalFilename) {
  auto* row = new TDLVisualPanel(content_);
  row->OnClick = [this](TDLVisualPanel* sender) { RowSelected(sender); };
  row->SetURLDownload(URL);
  row->SetLocalFilename(LocalFilename);
  row->OnStateChange = [this](TDLVisualPanel* sender) { RowChanged(sender); };
  row->MayStart = [this](TDLVisualPanel* sender) { return MayStart(sender); };
  row->OnStartNow = [this](TDLVisualPanel* sender) { StartNow(sender); };
  row->WrittenElsewhere = [this, row](const std::string& file) {
    for (TDLVisualPanel* other : Rows())
      if (other != row && other->DownloadInProgress() && other->LocalFilename() == file) return true;
    return false;
  };
  Relayout();
  ScheduleSave();
  return row;
}

void TDLScrollBox::RemoveRow(TDLVisualPanel* row) {
  if (selected_ == row) selected_ = nullptr;
  LeaveQueue(row);
  delete row;
  Relayout();
  ScheduleSave();
}

void TDLScrollBox::RowSelected(TDLVisualPanel* Sender) {
  selected_ = Sender;
  PlaceCloseButton();
  UpdateBevels();
  UpdateFocusFrame();
  if (hasFocus()) {
    // The focused row is what a screen reader reads out.
    QAccessibleEvent focus(Sender, QAccessible::Focus);
    QAccessible::updateAccessibility(&focus);
  }
}

void TDLScrollBox::UpdateBevels() {
  for (TDLVisualPanel* row : Rows()) row->SetBevelOuter(row == selected_ ? bvRaised : bvLowered);
}

void TDLScrollBox::RemoveSelected() {
  TDLVisualPanel* row = selected_;
  if (row == nullptr) return;
  if (row->DownloadInProgress()) {
    // The question runs the event loop: the row may end or go meanwhile.
    QPointer<TDLVisualPanel> guard(row);
    if (!AskStopRunning(window(), 1) || guard.isNull()) return;
    row->Job().Cancel();
    if (guard.isNull()) return;
  }
  selected_ = nullptr;
  LeaveQueue(row);
  delete row;  // its transfer and file go with it
  Relayout();
  ScheduleSave();
}

int TDLScrollBox::RunningCount() const {
  int n = 0;
  for (TDLVisualPanel* row : Rows())
    if (row->DownloadInProgress() && row->Job().Phase() != TJobPhase::kPaused) ++n;
  return n;
}

int TDLScrollBox::PausedCount() const {
  int n = 0;
  for (TDLVisualPanel* row : Rows())
    if (row->DownloadInProgress() && row->Job().Phase() == TJobPhase::kPaused) ++n;
  return n;
}

bool TDLScrollBox::AskStopRunning(QWidget* parent, int running, int paused) {
  TMessageBoxRequest request;
  request.parent = parent;
  QStringList lines;
  if (running > 0)
    lines << (running == 1 ? QStringLiteral("1 download is still running. Stop it and close?")
                           : QStringLiteral("%1 downloads are still running. Stop them and close?").arg(running));
  if (paused > 0)
    lines << (paused == 1 ? QStringLiteral("1 download is paused; it can be resumed at the next start.")
                          : QStringLiteral("%1 downloads are paused; they can be resumed at the next start.").arg(paused));
  if (running <= 0) lines.back() += QStringLiteral(" Close?");
  request.text = lines.join(QLatin1Char('\n'));
  request.buttons = TMsgButtons::mbYesNo;
  request.icon = TMsgIcon::miQuestion;
  request.default_no = running > 0;  // Enter keeps running downloads; paused ones lose nothing
  return ShowMessageBox(request) == TMsgResult::mrYes;
}

void TDLScrollBox::CancelRunning() {
  // A cancel may run the event loop; rows that went meanwhile are skipped.
  std::vector<QPointer<TDLVisualPanel>> rows;
  for (TDLVisualPanel* row : Rows()) rows.emplace_back(row);
  for (const auto& row : rows)
    if (row && row->DownloadInProgress()) row->Job().Cancel();
}

int TDLScrollBox::ClearFinished() {
  int removed = 0;
  for (TDLVisualPanel* row : Rows()) {
    if (!row->Finished()) continue;
    if (row == selected_) selected_ = nullptr;
    LeaveQueue(row);
    delete row;
    ++removed;
  }
  if (removed == 0) return 0;
  Relayout();
  ScheduleSave();
  return removed;
}

void TDLScrollBox::ScheduleSave() {
  if (!list_file_.empty() && !save_timer_->Active()) save_timer_->Start(1000);
}

void TDLScrollBox::SaveNow() {
  save_timer_->Stop();
  if (list_file_.empty()) return;
  std::vector<TSavedDownload> rows;
  for (TDLVisualPanel* row : Rows())
    if (std::optional<TSavedDownload> saved = row->SavedDownload()) rows.push_back(std::move(*saved));
  // An empty list that was never saved leaves no file behind.
  if (rows.empty() && ::access(list_file_.c_str(), F_OK) != 0) return;
  try {
    WriteDownloadList(list_file_, rows);
  } catch (const EDownloadListStore& e) {
    std::fprintf(stderr, "quillon: the download list %s is not saved: %s\n", list_file_.c_str(), e.what());
    return;
  }
  if (OnListSaved) OnListSaved();
}

void TDLScrollBox::contextMenuEvent(QContextMenuEvent* event) {
  TDLVisualPanel* row = SelectedRow();
  // The Menu key's menu opens at the selected row, a click's where it was.
  if (event->reason() == QContextMenuEvent::Keyboard && row != nullptr)
    ShowListMenu(row->mapToGlobal(QPoint(row->width() / 2, row->height() / 2)));
  else
    ShowListMenu(event->globalPos());
  event->accept();
}

void TDLScrollBox::ShowListMenu(const QPoint& global) {
  const std::vector<TDLVisualPanel*> rows = Rows();
  ClearFinishedAction->setEnabled(
      std::any_of(rows.begin(), rows.end(), [](TDLVisualPanel* row) { return row->Finished(); }));
  const int place = SelectedRow() ? queue_.Place(SelectedRow()) : 0;
  StartNowAction->setEnabled(place > 0);
  MoveUpAction->setEnabled(place > 1);
  ListMenu->popup(global);
}

void TDLScrollBox::SetQueueLimit(int n) {
  queue_.SetLimit(n);
  if (OnQueueChange) OnQueueChange();
  SchedulePump();
}

bool TDLScrollBox::MayStart(TDLVisualPanel* row) {
  if (queue_.TryStart(row)) return true;
  ShowPlaces();
  return false;
}

void TDLScrollBox::StartNow(TDLVisualPanel* row) {
  if (row == nullptr || queue_.Place(row) == 0) return;
  queue_.StartNow(row);
  QPointer<TDLScrollBox> alive(this);
  row->StartQueued();  // may run the event loop (the resume question)
  if (alive) ShowPlaces();
}

bool TDLScrollBox::MoveUp(TDLVisualPanel* row) {
  if (row == nullptr || !queue_.MoveUp(row)) return false;
  ShowPlaces();
  return true;
}

void TDLScrollBox::WaitInLine(const std::vector<TDLVisualPanel*>& rows) {
  for (TDLVisualPanel* row : rows) queue_.Wait(row);
  ShowPlaces();
  SchedulePump();
}

void TDLScrollBox::RowChanged(TDLVisualPanel* row) {
  ScheduleSave();
  // Held downloads keep their slot: only an end frees it.
  if (queue_.Runs(row) && !row->DownloadInProgress() && !row->Starting()) {
    queue_.Stop(row);
    SchedulePump();
  }
}

void TDLScrollBox::LeaveQueue(TDLVisualPanel* row) {
  const bool waited = queue_.Place(row) > 0;
  queue_.Stop(row);
  if (waited) ShowPlaces();
  SchedulePump();
}

void TDLScrollBox::ShowPlaces() {
  for (TDLVisualPanel* row : Rows())
    if (!row->Starting()) row->SetQueuePlace(queue_.Place(row));
  if (OnQueueChange) OnQueueChange();
}

void TDLScrollBox::HoldQueue(bool held) {
  queue_held_ = held;
  SchedulePump();
}

void TDLScrollBox::SchedulePump() {
  if (pump_due_ || queue_held_) return;
  pump_due_ = true;
  QTimer::singleShot(0, this, [this] { Pump(); });
}

void TDLScrollBox::Pump() {
  pump_due_ = false;
  // A start may run the event loop (the resume question), and a pump due
  // meanwhile would start rows inside it: the loop below takes every free
  // slot once the start returns.
  if (pumping_ || queue_held_) return;
  pumping_ = true;
  QPointer<TDLScrollBox> alive(this);
  bool started = false;
  while (std::optional<TDownloadQueue::TId> id = queue_.Next()) {
    const std::vector<TDLVisualPanel*> rows = Rows();
    const auto it = std::find(rows.begin(), rows.end(), *id);
    if (it == rows.end()) {
      queue_.Stop(*id);
      continue;
    }
    started = true;
    (*it)->StartQueued();
    if (!alive) return;
  }
  pumping_ = false;
  if (started) ShowPlaces();
}

void TDLScrollBox::ListResize() { CloseButton->move(viewport()->width() - CloseButton->width() - 4, CloseButton->y()); }

void TDLScrollBox::resizeEvent(QResizeEvent* event) {
  QScrollArea::resizeEvent(event);
  Relayout();
  ListResize();
}

}  // namespace quillon
