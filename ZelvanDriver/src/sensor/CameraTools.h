// The camera tools of the event sensors (IMX636 family, GenX320) and of the fusion camera's frame sensor,
// one header per tool family under tools/. In each family one class maps the parameters onto register
// fields of its sensor's table through the camera's shared RegisterController, driven by a constant
// descriptor per sensor; the named classes (Imx636Biases, Genx320Biases, ...) construct it with theirs. The
// generic parameter handling (kinds, ranges, refusals) is CameraTool's.
#pragma once

#include "sensor/tools/AntiFlickerTools.h"
#include "sensor/tools/ApsCtrlTools.h"
#include "sensor/tools/BiasTools.h"
#include "sensor/tools/EventRateControlTools.h"
#include "sensor/tools/EventTrailFilterTools.h"
#include "sensor/tools/RoiTools.h"
#include "sensor/tools/SyncTools.h"
#include "sensor/tools/TriggerInTools.h"
