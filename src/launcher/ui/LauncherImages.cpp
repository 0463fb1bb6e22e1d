#include <QtCore/qglobal.h>

// Resources compiled into static libraries have to be registered by hand.
void torvaneInitImageResources()
{
    Q_INIT_RESOURCE(launcher_images);
}
