#include <QApplication>

#include "FormLook.h"
#include "PortOpenService.h"
#include "frmFieldProg.h"

// The whole start-up and the download sequence run inside Form_Load, which returns when the
// sequence ends. A window still open then (after a failure, waiting for Reset) is served by
// the ordinary event loop until it is closed.
int main(int argc, char* argv[]) {
    // Ends last: the port-opening threads are joined once the window and its ports are gone.
    const PortOpenService::Owner portOpening;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("fieldprog"));
    QApplication::setWindowIcon(ApplicationIcon());

    frmFieldProg form;
    form.Form_Load();
    if (!form.IsLoaded()) return 0;
    return QApplication::exec();
}
