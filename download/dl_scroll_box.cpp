#include "download/dl_scroll_box.h"

#include <QApplication>
#include <QPointer>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>
#include <algorithm>

#include "download/dl_visual_panel.h"
#include "platform/dialogs.h"

namespace quillon {

TDLScrollBox::TDLScrollBox(QWidget* owner) : QScrollArea(owner) {
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setWidgetResizable(false);
  content_ = new QWidget;
  content_->resize(viewport()->width(), 0);
  setWidget(content_);

  CloseButton = new QPushButton(content_);
  CloseButton->setEnabled(true);
  // The desktop's window-close symbol stands in for the cross of a symbol font.
  CloseButton->setIcon(style()->standardIcon(QStyle::SP_TitleBarCloseButton));
  CloseButton->setIconSize(QSize(11, 11));
  CloseButton->setFlat(false);
  CloseButton->setGeometry(width() - 15 - 12, 2, 15, 15);
  CloseButton->setFocusPolicy(Qt::NoFocus);
  CloseButton->hide();
  connect(CloseButton, &QPushButton::clicked, this, [this] { RemoveSelected(); });
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
  CloseButton->raise();
}

TDLVisualPanel* TDLScrollBox::AddDownload(const std::string& URL, const std::string& LocalFilename) {
  auto* row = new TDLVisualPanel(content_);
  row->OnClick = [this](TDLVisualPanel* sender) { RowSelected(sender); };
  row->SetURLDownload(URL);
  row->SetLocalFilename(LocalFilename);
  row->WrittenElsewhere = [this, row](const std::string& file) {
    for (TDLVisualPanel* other : Rows())
      if (other != row && other->DownloadInProgress() && other->LocalFilename() == file) return true;
    return false;
  };
  Relayout();
  return row;
}

void TDLScrollBox::RemoveRow(TDLVisualPanel* row) {
  if (CloseButton->isVisibleTo(content_) && row->y() + 2 == CloseButton->y()) CloseButton->hide();
  delete row;
  Relayout();
}

void TDLScrollBox::RowSelected(TDLVisualPanel* Sender) {
  CloseButton->show();
  CloseButton->raise();
  CloseButton->move(CloseButton->x(), Sender->y() + 2);
  UpdateBevels();
}

void TDLScrollBox::UpdateBevels() {
  for (TDLVisualPanel* row : Rows())
    row->SetBevelOuter(CloseButton->isVisibleTo(content_) && row->y() + 2 == CloseButton->y() ? bvRaised
                                                                                                 : bvLowered);
}

void TDLScrollBox::RemoveSelected() {
  if (CloseButton->isHidden()) return;
  for (TDLVisualPanel* row : Rows()) {
    if (row->y() + 2 == CloseButton->y()) {
      if (row->DownloadInProgress()) {
        // The question runs the event loop: the row may end or go meanwhile.
        QPointer<TDLVisualPanel> guard(row);
        if (!AskStopRunning(window(), 1) || guard.isNull()) return;
        row->Job().Cancel();
        if (guard.isNull()) return;
      }
      delete row;  // its transfer and file go with it
      CloseButton->hide();
      Relayout();
      return;
    }
  }
}

int TDLScrollBox::RunningCount() const {
  int n = 0;
  for (TDLVisualPanel* row : Rows())
    if (row->DownloadInProgress()) ++n;
  return n;
}

bool TDLScrollBox::AskStopRunning(QWidget* parent, int running) {
  TMessageBoxRequest request;
  request.parent = parent;
  request.text = running == 1 ? QStringLiteral("1 download is still running. Stop it and close?")
                              : QStringLiteral("%1 downloads are still running. Stop them and close?").arg(running);
  request.buttons = TMsgButtons::mbYesNo;
  request.icon = TMsgIcon::miQuestion;
  request.default_no = true;  // Enter keeps the downloads
  return ShowMessageBox(request) == TMsgResult::mrYes;
}

void TDLScrollBox::CancelRunning() {
  // A cancel may run the event loop; rows that went meanwhile are skipped.
  std::vector<QPointer<TDLVisualPanel>> rows;
  for (TDLVisualPanel* row : Rows()) rows.emplace_back(row);
  for (const auto& row : rows)
    if (row && row->DownloadInProgress()) row->Job().Cancel();
}

void TDLScrollBox::ListResize() { CloseButton->move(viewport()->width() - CloseButton->width() - 4, CloseButton->y()); }

void TDLScrollBox::resizeEvent(QResizeEvent* event) {
  QScrollArea::resizeEvent(event);
  Relayout();
  ListResize();
}

}  // namespace quillon
