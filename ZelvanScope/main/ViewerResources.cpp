#include "main/ViewerResources.h"

#include <QtCore/qglobal.h>

void initViewerResources() { Q_INIT_RESOURCE(resources); }
