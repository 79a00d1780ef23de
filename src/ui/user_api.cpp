#include "ui/user_api.h"

const UserApi realUserApi = {
    ::SetForegroundWindow,
    ::TrackPopupMenu,
};

UserApi userApi = realUserApi;
