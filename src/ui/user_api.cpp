#include "ui/user_api.h"

const UserApi realUserApi = {
    ::SetForegroundWindow,
    ::TrackPopupMenu,
    ::SetProcessDpiAwarenessContext,
};

UserApi userApi = realUserApi;
