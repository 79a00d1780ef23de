#include "app/settings.h"

void LoadSettings() {}

void SaveSettings(HWND) {}
