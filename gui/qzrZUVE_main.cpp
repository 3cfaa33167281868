// The monitor window program qzrZUVE (started as qzrSPLCE: the English
// edition).
#include <QApplication>

#include "gui/CqzrZUVEApp.h"

int main(int argc, char** argv)
{
    QApplication qt(argc, argv);
    CqzrZUVEApp app(argc, argv);
    if (!app.InitInstance())
        return 1;
    return QApplication::exec();
}
