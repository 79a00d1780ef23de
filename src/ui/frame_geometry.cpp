#include "ui/frame_geometry.h"
#include "common/ui_state.h"
