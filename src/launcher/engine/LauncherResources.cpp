#include <QtCore/qglobal.h>

// Resources compiled into static libraries have to be registered by hand.
void torvaneInitEngineResources()
{
    Q_INIT_RESOURCE(settings);
}
