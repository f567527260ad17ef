// quillon: the download wizard. Takes no command-line arguments; the catalogue
// it offers is appended to this program file.
#include <clocale>
#include <csignal>

#include "app/form_downloader.h"
#include "platform/widgets/application.h"

int main(int argc, char** argv) {
  // A file-size limit makes writing a download fail with a reason instead
  // of ending the program.
  std::signal(SIGXFSZ, SIG_IGN);
  quillon::TApplication app(argc, argv);
  // The application object took the user's locale: numbers and dates follow
  // it, but system error texts in a download row stay English like the rest
  // of the row, in the one 8-bit character set the row shows.
  std::setlocale(LC_MESSAGES, "C");
  // The title of a message box before a catalogue names the program (the
  // window takes the catalogue's caption).
  quillon::TApplication::SetTitle(QStringLiteral("Quillon Download Manager"));
  // The bare program, without a catalogue, has nothing to offer: it says so
  // and shows no window.
  if (!quillon::TfrmDownloader::CatalogueAppendedOrSay()) return 1;
  quillon::TfrmDownloader window;
  window.show();
  return app.exec();
}
