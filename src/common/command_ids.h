#pragma once

// Buttons and menu items share one id space (low word of WM_COMMAND's wParam).
enum CommandId : unsigned {
    ID_REC = 101,
    ID_STOP = 102,
    ID_CLOSE = 103,
    ID_FPS_120 = 201,
    ID_FPS_60 = 202,
    ID_FPS_30 = 203,
    ID_FPS_10 = 204,
    ID_RES_360P = 211,
    ID_RES_720P = 212,
    ID_RES_1080P = 213,
    ID_RECORD_MOUSE = 221,
};
