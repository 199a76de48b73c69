// The viewer's embedded resources (icons, style sheet) live in a static library: this registers them.
#pragma once

void initViewerResources();
