#include "engine/engine.h"

void ResetPointerState(PointerState*) {}

void UpdatePointerState(PointerState*, const DXGI_OUTDUPL_FRAME_INFO*, IDXGIOutputDuplication*) {}

void CompositePointer(const PointerState*, BYTE*, int, int, int, int) {}
