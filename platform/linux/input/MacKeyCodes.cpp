#include "platform/linux/input/MacKeyCodes.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include <array>

namespace df {

namespace {

constexpr std::array<uint32_t, 128> buildTable() {
    std::array<uint32_t, 128> t{};
    // Letters and digits, in the Mac's scan order.
    t[0] = XK_a; t[1] = XK_s; t[2] = XK_d; t[3] = XK_f; t[4] = XK_h; t[5] = XK_g;
    t[6] = XK_z; t[7] = XK_x; t[8] = XK_c; t[9] = XK_v; t[10] = XK_section; t[11] = XK_b;
    t[12] = XK_q; t[13] = XK_w; t[14] = XK_e; t[15] = XK_r; t[16] = XK_y; t[17] = XK_t;
    t[18] = XK_1; t[19] = XK_2; t[20] = XK_3; t[21] = XK_4; t[22] = XK_6; t[23] = XK_5;
    t[24] = XK_equal; t[25] = XK_9; t[26] = XK_7; t[27] = XK_minus; t[28] = XK_8; t[29] = XK_0;
    t[30] = XK_bracketright; t[31] = XK_o; t[32] = XK_u; t[33] = XK_bracketleft; t[34] = XK_i;
    t[35] = XK_p; t[36] = XK_Return; t[37] = XK_l; t[38] = XK_j; t[39] = XK_apostrophe;
    t[40] = XK_k; t[41] = XK_semicolon; t[42] = XK_backslash; t[43] = XK_comma; t[44] = XK_slash;
    t[45] = XK_n; t[46] = XK_m; t[47] = XK_period; t[48] = XK_Tab; t[49] = XK_space;
    t[50] = XK_grave;
    t[51] = XK_BackSpace;  // the Mac's "delete" deletes backwards
    t[53] = XK_Escape;
    // Modifier keys (Command at 54/55 is filled in by the setting).
    t[56] = XK_Shift_L; t[57] = XK_Caps_Lock; t[58] = XK_Alt_L; t[59] = XK_Control_L;
    t[60] = XK_Shift_R; t[61] = XK_Alt_R; t[62] = XK_Control_R;
    // 63 is fn: no key of its own on X.
    t[64] = XK_F17; t[65] = XK_KP_Decimal; t[67] = XK_KP_Multiply; t[69] = XK_KP_Add;
    t[71] = XK_Num_Lock;  // keypad "clear" sits where Num Lock is
    t[72] = XF86XK_AudioRaiseVolume; t[73] = XF86XK_AudioLowerVolume; t[74] = XF86XK_AudioMute;
    t[75] = XK_KP_Divide; t[76] = XK_KP_Enter; t[78] = XK_KP_Subtract; t[79] = XK_F18;
    t[80] = XK_F19; t[81] = XK_KP_Equal; t[82] = XK_KP_0; t[83] = XK_KP_1; t[84] = XK_KP_2;
    t[85] = XK_KP_3; t[86] = XK_KP_4; t[87] = XK_KP_5; t[88] = XK_KP_6; t[89] = XK_KP_7;
    t[90] = XK_F20; t[91] = XK_KP_8; t[92] = XK_KP_9;
    t[96] = XK_F5; t[97] = XK_F6; t[98] = XK_F7; t[99] = XK_F3; t[100] = XK_F8; t[101] = XK_F9;
    t[103] = XK_F11; t[105] = XK_F13; t[106] = XK_F16; t[107] = XK_F14; t[109] = XK_F10;
    t[110] = XK_Menu; t[111] = XK_F12; t[113] = XK_F15;
    t[114] = XK_Insert;  // "help" sits where Insert is
    t[115] = XK_Home; t[116] = XK_Prior; t[117] = XK_Delete; t[118] = XK_F4; t[119] = XK_End;
    t[120] = XK_F2; t[121] = XK_Next; t[122] = XK_F1; t[123] = XK_Left; t[124] = XK_Right;
    t[125] = XK_Down; t[126] = XK_Up;
    return t;
}

constexpr std::array<uint32_t, 128> kTable = buildTable();

}  // namespace

uint32_t macKeyCodeToKeysym(uint16_t macKeyCode, CommandKey command) {
    if (macKeyCode == 55) return command == CommandKey::control ? XK_Control_L : XK_Super_L;
    if (macKeyCode == 54) return command == CommandKey::control ? XK_Control_R : XK_Super_R;
    if (macKeyCode >= kTable.size()) return 0;  // NoSymbol
    return kTable[macKeyCode];
}

}  // namespace df
