#include "rows/download_accessibility.h"

#include <QAccessibleWidget>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include "rows/click_label.h"
#include "rows/dl_scroll_box.h"
#include "rows/dl_visual_panel.h"
#include "rows/progress_cyl.h"
#include "platform/ansi_text.h"
#include "platform/event_loop.h"

namespace quillon {

namespace {

TDLScrollBox* ListOf(const QWidget* w) {
  for (QWidget* up = w->parentWidget(); up != nullptr; up = up->parentWidget())
    if (auto* list = dynamic_cast<TDLScrollBox*>(up)) return list;
  return nullptr;
}

class TAccessibleDownloadList : public QAccessibleWidget {
 public:
  explicit TAccessibleDownloadList(TDLScrollBox* list) : QAccessibleWidget(list, QAccessible::List) {}

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) return QStringLiteral("Downloads");
    return QAccessibleWidget::text(t);
  }
  int childCount() const override { return static_cast<int>(Children().size()); }
  QAccessibleInterface* child(int index) const override {
    const std::vector<QWidget*> children = Children();
    if (index < 0 || index >= static_cast<int>(children.size())) return nullptr;
    return QAccessible::queryAccessibleInterface(children[static_cast<size_t>(index)]);
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    if (child == nullptr) return -1;
    const std::vector<QWidget*> children = Children();
    const auto at = std::find(children.begin(), children.end(), child->object());
    return at == children.end() ? -1 : static_cast<int>(at - children.begin());
  }
  QAccessibleInterface* focusChild() const override {
    TDLVisualPanel* row = List()->SelectedRow();
    return List()->hasFocus() && row != nullptr ? QAccessible::queryAccessibleInterface(row) : nullptr;
  }

 private:
  TDLScrollBox* List() const { return static_cast<TDLScrollBox*>(widget()); }
  std::vector<QWidget*> Children() const {
    std::vector<QWidget*> children;
    for (TDLVisualPanel* row : List()->RowsTopDown()) children.push_back(row);
    if (List()->CloseButton->isVisibleTo(List())) children.push_back(List()->CloseButton);
    return children;
  }
};

class TAccessibleDownloadRow : public QAccessibleWidget {
 public:
  explicit TAccessibleDownloadRow(TDLVisualPanel* row) : QAccessibleWidget(row, QAccessible::ListItem) {}

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name) {
      if (!widget()->accessibleName().isEmpty()) return widget()->accessibleName();
      const QString name = QFileInfo(QFile::decodeName(QByteArray::fromStdString(Row()->LocalFilename()))).fileName();
      return name.isEmpty() ? QString::fromUtf8(RedactedUrl(Row()->Job().URL())) : name;
    }
    if (t == QAccessible::Description) return Row()->DescribedStatus();
    return QAccessibleWidget::text(t);
  }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    TDLScrollBox* list = ListOf(widget());
    s.selectable = list != nullptr;
    s.focusable = list != nullptr;
    s.selected = list != nullptr && list->SelectedRow() == Row();
    s.focused = s.selected && list->hasFocus();
    return s;
  }
  QAccessibleInterface* parent() const override {
    if (TDLScrollBox* list = ListOf(widget())) return QAccessible::queryAccessibleInterface(list);
    return QAccessibleWidget::parent();
  }

 private:
  TDLVisualPanel* Row() const { return static_cast<TDLVisualPanel*>(widget()); }
};

class TAccessibleCylinder : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit TAccessibleCylinder(TProgressCyl* cylinder) : QAccessibleWidget(cylinder, QAccessible::ProgressBar) {}

  void* interface_cast(QAccessible::InterfaceType t) override {
    if (t == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(t);
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) return QStringLiteral("Progress");
    if (t == QAccessible::Value) return Busy() ? QString() : QString::fromStdString(Cylinder()->DisplayText());
    return QAccessibleWidget::text(t);
  }
  QVariant currentValue() const override { return Busy() ? 0 : Cylinder()->Position(); }
  void setCurrentValue(const QVariant&) override {}  // shows progress; the user sets none
  QVariant maximumValue() const override { return Busy() ? 0 : Cylinder()->Max(); }
  QVariant minimumValue() const override { return Busy() ? 0 : Cylinder()->Min(); }
  QVariant minimumStepSize() const override { return 1; }

 private:
  TProgressCyl* Cylinder() const { return static_cast<TProgressCyl*>(widget()); }
  // A row's running download whose length is unknown has no percentage.
  bool Busy() const {
    auto* row = dynamic_cast<TDLVisualPanel*>(widget()->parentWidget());
    return row != nullptr && row->DownloadInProgress() && row->Job().Progress().position < 0;
  }
};

class TAccessibleLink : public QAccessibleWidget {
 public:
  explicit TAccessibleLink(TClickLabel* link) : QAccessibleWidget(link, QAccessible::Button) {}

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) return Link()->text();
    return QAccessibleWidget::text(t);
  }
  QStringList actionNames() const override { return {pressAction()}; }
  void doAction(const QString& action) override {
    if (action == pressAction()) Link()->Click();
  }
  QStringList keyBindingsForAction(const QString&) const override { return {}; }

 private:
  TClickLabel* Link() const { return static_cast<TClickLabel*>(widget()); }
};

QAccessibleInterface* DownloadInterfaces(const QString&, QObject* object) {
  if (object == nullptr || !object->isWidgetType()) return nullptr;
  if (auto* list = dynamic_cast<TDLScrollBox*>(object)) return new TAccessibleDownloadList(list);
  if (auto* row = dynamic_cast<TDLVisualPanel*>(object)) return new TAccessibleDownloadRow(row);
  if (auto* cylinder = dynamic_cast<TProgressCyl*>(object)) return new TAccessibleCylinder(cylinder);
  if (auto* link = dynamic_cast<TClickLabel*>(object); link != nullptr && link->Link) return new TAccessibleLink(link);
  return nullptr;
}

}  // namespace

bool TDescriptionPacer::Offer(const QString& text, int state, bool running, uint32_t now) {
  waiting_ = false;
  if (any_ && text == told_ && state == state_) return false;
  if (any_ && running && state == state_ && now - told_at_ < kInterval) {
    waiting_ = true;
    return false;
  }
  told_ = text;
  state_ = state;
  told_at_ = now;
  any_ = true;
  return true;
}

std::optional<uint32_t> TDescriptionPacer::Wait(uint32_t now) const {
  if (!waiting_) return std::nullopt;
  const uint32_t since = now - told_at_;
  return since >= kInterval ? 0 : kInterval - since;
}

namespace {
std::function<uint32_t()>& Clock() {
  static std::function<uint32_t()> clock;
  return clock;
}
}  // namespace

uint32_t TDescriptionPacer::Now() { return Clock() ? Clock()() : platform::GetTickCount(); }

void TDescriptionPacer::SetClockForTesting(std::function<uint32_t()> clock) { Clock() = std::move(clock); }

void InstallDownloadAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(DownloadInterfaces);
    return true;
  }();
  (void)installed;
}

}  // namespace quillon
