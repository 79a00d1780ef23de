#include "ui/user_api.h"

const UserApi realUserApi = {
    ::SetForegroundWindow,
    ::TrackPopupMenu,
    ::GetProcAddress,
    ::DwmSetWindowAttribute,
};

UserApi userApi = realUserApi;
