// quillon: the download wizard. Takes no command-line arguments; the catalogue
// it offers is appended to this program file.
#include "app/form_downloader.h"
#include "platform/application.h"

int main(int argc, char** argv) {
  quillon::TApplication app(argc, argv);
  quillon::TApplication::SetTitle(QStringLiteral("Quillon Download Manager"));
  quillon::TfrmDownloader window;
  window.show();
  return app.exec();
}
