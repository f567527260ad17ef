// TfrmDownloader: the program's window, a two-page wizard filled from the
// catalogue appended to the program file. On the product page the user picks a
// product and sees its description, icon and, on request, its screenshot; on
// the download page the user picks one of its links and the destination file
// and starts the download, or opens a "Send to browser" link with the desktop.
// The window remembers the last destination folder in the catalogue's
// settings store. The catalogue's caption is the window's title and the
// application's name.
//
// Sizes are pixels at 96 dots per inch for the design's 8-point font (lines
// 13 pixels high). The window's size, 568 x 400 (at least 320 x 400),
// includes the frame of the window system it was drawn for: 4-pixel borders
// and a 26-pixel caption, so the client area is 560 x 366. The window takes
// the desktop's font; a larger one scales every place and size in proportion
// to its line height (fixed when the window is made), so no text is cut.
// On a screen whose free area is smaller than that (a 1280 x 800 screen at
// 200 %), the window takes at most the free area, frame included: the wizard
// scrolls inside it (WizardScrollBox), while the status bar and the download
// list stay whole, and a control of the wizard that takes the focus is
// scrolled into view. On a screen with room nothing scrolls.
//
// State: the catalogue document (reloaded each time the window is shown) and
// the controls. The selected product is ListBox1's row and the selected link
// URLCBx's index; both are mapped to catalogue nodes on every use.
//
// A download that completes or fails while the window is not the active
// window is told in a desktop notification: the file's name and the row's
// status text, with "Open" and "Show in folder" for a complete file; a click
// on the notification brings the window to the front.
//
// Only the page in front is shown: the covered page takes neither focus nor
// keys. The download list, once shown, is one Tab stop after the page's
// controls. Enter presses the shown page's main button (Next, Download) when it is
// enabled, Escape on the download page goes Back (while an update is fetched
// it cancels the update instead); a focused button, and the download list,
// take Enter and Escape themselves; the link list and the screenshot button
// leave Enter to the window under every platform theme (a theme whose
// buttons take Enter would open the drop-down or the screenshot with it).
// Closing the window while downloads run or are paused asks first.
//
// The download list's menu holds the window's traffic settings, remembered in
// the catalogue's settings store: "Downloads at once" (1 to 10, default 3:
// rows started beyond wait their turn, see TDLScrollBox) and "Limit speed"
// ("No limit" or a preset rate for all rows together). The status bar says
// the limit in force and how many rows wait.
//
// Every event handler runs through RunHandler: an exception it raises is shown
// in a message box and ends that handler only.
#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <string_view>

#include "catalogue/catalogue.h"
#include "catalogue/catalogue_in_use.h"
#include "download/download_job.h"
#include "download/rate_limiter.h"
#include "net/socket/transfer_watchdog.h"
#include "platform/widgets/elided_combo_box.h"
#include "platform/widgets/elided_label.h"
#include "platform/widgets/path_edit.h"

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QSplitter;
class QToolButton;

namespace quillon {

class TAnchors;
class TDesktopNotifier;
class TDLScrollBox;
class TDLVisualPanel;
class THttpCli;
class TmyStatusBar;

class TfrmDownloader : public QWidget {
 public:
  // What a program file without a catalogue says, instead of a window.
  static constexpr std::string_view kNoCatalogueMessage =
      "This program has no catalogue. A publisher appends one with quillon-catalogue append.";
  // Whether `program_file` (empty: the running program's own file) carries
  // a catalogue. When it does not, kNoCatalogueMessage is shown in a message
  // box and false is returned: the program then ends with status 1 and shows
  // no window.
  static bool CatalogueAppendedOrSay(const std::string& program_file = {});

  static constexpr int kWindowWidth = 568;
  static constexpr int kWindowHeight = 400;
  static constexpr int kMinWidth = 320;
  static constexpr int kMinHeight = 400;
  static constexpr int kFrameWidth = 8;    // left and right border
  static constexpr int kFrameHeight = 34;  // caption and borders

  // `program_file`: the file whose appended catalogue is shown and whose folder
  // is the program's folder; empty for the running program's own file.
  // Construction takes the publisher's name first (TakePublisherName) and
  // ends with SetUpWindow.
  explicit TfrmDownloader(std::string program_file = {});
  ~TfrmDownloader() override;

  // --- Controls, owned by the window ---
  TmyStatusBar* StatusBar;
  QSplitter* Splitter1;  // wizard | download list
  QScrollArea* WizardScrollBox;  // holds Panel1; scrolls only on a screen too small for it
  QFrame* Panel1;
  QLabel* LogoImage;
  QPlainTextEdit* MainDescriptionMemo = nullptr;
  QFrame* ProductPanel;
  QLabel* ProductPromptLabel;
  QListWidget* ListBox1 = nullptr;
  QLabel* Image1;
  QToolButton* ScreenshotBtn = nullptr;
  QPlainTextEdit* ProductDescriptionMemo = nullptr;
  QPushButton* NextBtn;
  QPushButton* UpdateBtn;
  QFrame* DLPanel;
  TElidedLabel* ProductLabel;
  TElidedComboBox* URLCBx;
  QLabel* FolderLabel;
  TPathEdit* SaveToFolderEdit;
  QPushButton* FolderBtn;
  QPushButton* BackBtn;
  QPushButton* DownloadBtn;
  TDLScrollBox* DLScrollBox;  // the download list; hidden until the first program download

  // The program is the publisher's: the catalogue's caption (its
  // Window_Caption, unless its signature fails) becomes the application's
  // name, which message boxes, notifications and the window class show, and
  // the settings store is the catalogue's own (its scope the catalogue's
  // key). The desktop file name is the program file's name.
  void TakePublisherName();
  // The window's set-up, once, when it is built: the destination folder from
  // the settings, the wizard widened to show it, the window no larger than
  // the screen's room and centred in it, an empty catalogue.
  void SetUpWindow();
  // Downloads the list runs at once; remembered as "Downloads At Once".
  void SetDownloadsAtOnce(int n);
  int DownloadsAtOnce() const;
  // Bytes a second all rows together may receive (0: no limit); remembered
  // as "Speed Limit".
  void SetSpeedLimit(int64_t bytes_per_second);
  int64_t SpeedLimit() const { return speed_limit_; }
  QMenu* DownloadsAtOnceMenu;
  QMenu* SpeedLimitMenu;

  // --- Event handlers ---
  void FormShow();
  void FormActivate();
  void FormResize();
  void Splitter1Moved();
  void FormClose();
  void ListBox1Click();
  void ListBox1DblClick();
  void NextBtnClick();
  void BackBtnClick();
  void URLCBxChange();
  void FolderBtnClick();
  void DownloadBtnClick();
  void ScreenshotBtnClick();
  void UpdateBtnClick();

  // --- Steps ---
  // The catalogue node of the product at a list index; absent outside the list.
  TXmlNode* GetProgramNodeGroup(int index);
  void GetDestinationFolder();
  // Fetches a catalogue from `url` with a synchronous HTTP request (the event
  // loop runs meanwhile), replaces the catalogue by it and refills the wizard.
  // The body is kept only up to 64 MiB and replaces the catalogue only when
  // it is a complete catalogue the catalogue in use may take
  // (RetrieveCatalogueUpdate). A failed fetch says "Could not fetch the
  // update: " and why ("404 Not Found", "connection refused (...)"), gives
  // the status bar its text back and keeps the button for another try; a
  // refused body says "The update was not taken: " and the reason. Both
  // leave the catalogue and the wizard as they were. After a taken or a
  // refused update the button is hidden for good. While the fetch runs the
  // button reads "Cancel Update", and a call then (the button, Escape)
  // cancels the fetch: it ends quietly, the status bar gets its text back
  // and the button stays. A taken update says "Catalogue updated to serial
  // N." in the status bar (the text before stays when it has no serial).
  // True when the catalogue was replaced; false for an empty url, a
  // failure, a refusal or a cancel (and for the call that cancels).
  bool RetrieveUpdates(const std::string& url);
  // Puts the update button on the page the user can reach: the download page
  // when the catalogue has one product, else the product page.
  void PlaceUpdateButton();
  void FillWizard();
  void ApplyCatalogue();
  void FillLinks(int index);
  void LoadLogo();
  void LoadIcon();
  void LoadScreenshot(QLabel* image);
  bool HasScreenshot();
  bool IsBrowserLink();
  std::string GetSelectedURL();
  void UpdateScrollBars();
  // Product names wider than the list carry their whole name as a tooltip.
  void UpdateListToolTips();
  QString ReadFolderSetting();
  void SaveLastFolder();

  // Which page is in front (the other one is hidden).
  bool DownloadPageInFront() const;
  TCatalogue& Catalogue() { return catalogue_; }
  const TCatalogueInUse& CatalogueInUse() const { return in_use_; }
  // The program file's folder, with a trailing "/".
  QString ProgramFolder() const;
  // Tests: the day number the update rule compares with.
  void SetToday(std::function<int64_t()> today) { today_ = std::move(today); }
  // The catalogue update's idle limit in seconds (downloads' default, 60).
  void SetUpdateIdleTimeoutForTesting(int seconds) { update_idle_timeout_ = seconds; }

 protected:
  // The program-download branch of the download button: makes the download
  // list visible (inside the download page when the catalogue has one
  // product, else right of the wizard, widening the window by 325 pixels the
  // first time as far as the screen has room; see FitToScreen), completes a destination without file name from the URL and
  // starts a row for `url` (UTF-8, see LinkUtf8) into SaveToFolderEdit's
  // file. When the list has a row for that URL and file, that row is
  // selected instead: a running or paused one goes on, an ended one
  // (complete, failed, cancelled) starts again (TDLVisualPanel::StartDownload,
  // which asks about a file that is there).
  virtual void StartProgramDownload(const std::string& url);
  // Creates and starts one row, which becomes the selected one: the list's
  // new row gets the catalogue's cancel and download captions, retries on,
  // `mirrors`, other URLs of the same file, and `connections` per host (the
  // link's Connections; 0: one). Null, and no row, when the destination
  // exists and the user cancelled the question about replacing it.
  TDLVisualPanel* AddDownloadRow(const std::string& url, const QString& file, const TExpectedFile& expected = {},
                                 std::vector<std::string> mirrors = {}, int connections = 0);
  // Makes the download list visible where it belongs (see StartProgramDownload).
  void ShowDownloadList();
  // What every row of the window gets: retries, the environment's proxies,
  // the catalogue's encoding and captions.
  void ConfigureRow(TDLVisualPanel* row);

 public:
  // What names a catalogue's own files: the line's Catalogue_Id ("id-ID",
  // or "id-sha256-HEX" for an id that is no plain file name), else the
  // publisher's key ("key-HEX"), else the program file's absolute path
  // ("program-SHA256"): the same catalogue line, or the same program file,
  // finds its files again.
  static std::string CatalogueKey(const TCatalogueInUse& in_use, const std::string& program_file);
  // The file the download list is kept in: "downloads-KEY.json" in
  // TTrustRecord::Folder(), by the catalogue's key.
  std::string DownloadListPath() const;
  // Once, after the first catalogue is shown: the saved rows come back
  // (TDLVisualPanel::Restore) and the list is saved to its file from then
  // on, and at close. A list that cannot be read (one of another version
  // too) is set aside as "NAME.unreadable" (SetAsideDownloadList) and a new
  // list begins, with a line on stderr naming both files ("the download
  // list PATH cannot be used: REASON; it is kept as PATH.unreadable and a
  // new list begins"); one that cannot be set aside is left as it is and
  // this run saves no list. Each row gets what the catalogue in use says
  // today about its URL (CatalogueLinkOf), never what the list says.
  void RestoreDownloadList();
  // The size, SHA-256 and mirrors of the catalogue's program link whose URL
  // is `url` (the first one); absent when the catalogue has none.
  std::optional<TCatalogueLink> CatalogueLinkOf(const std::string& url);

 protected:

  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  // Enter on the closed link list and the screenshot button goes to keyPressEvent.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  // A design size in pixels for the window's font (see above).
  int Px(int design) const;
  QRect Px(const QRect& design) const;
  // Shows `page` (ProductPanel or DLPanel), hides the other and gives the
  // focus to the shown page's first control.
  void ShowPage(QFrame* page);
  // Makes the window `wanted` pixels wide (client area) where the screen's
  // available area has room for it, else as wide as the area, no taller
  // than the area, and moves it so that it lies inside the area (once the
  // window system drew its frame, or before the window is shown). With the
  // download list beside the wizard, the list keeps up to 325 pixels and the
  // wizard gives way down to its minimum.
  void FitToScreen(int wanted);
  // The client area's room on the window's screen: the available area less
  // the window's frame (before the window system draws one, the design's).
  QSize ScreenRoom() const;
  // Sizes a label to its text and keeps that size through resizes.
  void FitLabel(TAnchors* anchors, QLabel* label);
  // Widens a page button whose caption does not fit its 75 pixels.
  void FitButtons();
  // The narrowest wizard at which its labels and buttons are whole.
  int WizardMinimumWidth() const;
  // Keeps the splitter and the window from squeezing the wizard below it,
  // and the wizard from growing shorter than its design height. The
  // window's minimum size is never larger than the screen's room: the wizard
  // scrolls below it (with room beside it for its scroll bar).
  void UpdateMinimumWidth();
  // Scrolls a control of the wizard into view, whole where the view has room:
  // the one that takes the focus, and the focused one when the view shrinks.
  void ShowFocusedControl(QWidget* focused);
  // Catalogue text for a widget.
  QString Text(const std::string& bytes) const;
  // A URL of the catalogue as the network gets it: UTF-8 (a windows-1252
  // catalogue's letters converted), percent-encoded later by the client.
  std::string LinkUtf8(const std::string& url) const;
  QString InterfaceQText(std::string_view name) const { return Text(catalogue_.InterfaceText(name)); }
  // The selected product's node and whether it has links.
  TXmlNode* SelectedProduct();
  bool SelectedProductHasLinks();
  // Hands a browser link to the desktop when it is a web address.
  void OpenBrowserLink(const std::string& url);
  void SetMemoLines(QPlainTextEdit* memo, const std::string& text);
  // What the catalogue in use says about the file of `link`.
  TExpectedFile ExpectedFileOf(TXmlNode* link) const;
  // A row's transfer ended: a notification when the window is not active.
  void TellDownloadEnded(TDLVisualPanel* row);
  // The traffic settings' menus, and their values from the settings store.
  void CreateTrafficMenus();
  void ReadTrafficSettings();
  // The status bar's traffic text and the menus' checks for the settings now.
  void ShowTraffic();
  // The one place where the window's speed limit meets the download
  // engine's rate limiter: called with null when the limit changed, and with
  // each row's job as the row is configured.
  void UseRateLimiter(TDownloadJob* job);

  std::string program_file_;
  TCatalogueInUse in_use_;
  TCatalogue& catalogue_ = in_use_.Catalogue();
  std::function<int64_t()> today_;
  bool activate_on_focus_ = true;
  // The client of the last catalogue update, owned by the window.
  std::unique_ptr<THttpCli> update_http_;
  int update_idle_timeout_ = kDefaultIdleTimeout;
  bool list_restored_ = false;    // RestoreDownloadList ran
  int64_t speed_limit_ = 0;       // bytes a second; 0: none
  TRateLimiter limiter_;          // every row's, at speed_limit_
  bool update_pressed_ = false;   // the update button never comes back
  bool update_running_ = false;   // a press is fetching (its Get runs the loop)
  bool update_cancelled_ = false;  // a second press cancelled that fetch  // the next activation runs FormActivate
  std::unique_ptr<TDesktopNotifier> notifier_;  // made for the first notification
  bool closing_ = false;  // downloads cancelled by closing the window are not told
  double scale_ = 1;  // the font's line height over the design's
  QMetaObject::Connection focus_watch_;  // the application's focus changes, for ShowFocusedControl
  TAnchors* panel1_anchors_;
  TAnchors* product_anchors_;
  TAnchors* dl_anchors_;
};

}  // namespace quillon
