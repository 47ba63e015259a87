#include "adapters/taurus/taurusexchange.h"
#include "app/mainwindow.h"
#include "platform/platform.h"
#include "sync/exchangeframe.h"

// The converter exchange only: the answer is read through, nothing is derived from it, nothing is
// synchronised and nothing is shown.
void MainWindow::exchangeLely(const bool &, const bool &ShowMessages)
{
    FrameOptions options;
    options.clearText = true;
    options.progressDialog = true;
    ExchangeFrame frame(this, ShowMessages, options);

    if (!taurus::requestGeneralCows(platform::localPath(programPath), taurus::System::Lely, nullptr))
        return;
    frame.finish(QString());
}
