// Texts of this host's desktop shell that the agent's main tables do not hold: the rows of
// what the host must provide (X display, screen capture, sound server, DNS-SD daemon) with
// what to do when one is missing, and the Command-key setting. One row per text, keyed by
// its Simplified Chinese wording like every other text.
//
// The Simplified Chinese rows at the end give a wording for keys whose own text speaks of
// a Mac: a Simplified Chinese reader sees the computer this agent runs on instead.

#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/shell/L10nRows.h"

#include <array>

namespace df {

namespace {

using l10n_rows::Row;

// clang-format off
constexpr std::array<Row, 14> kShellRows = {{
    {"X 显示器与 XTest", "X display and XTest", "X 顯示器與 XTest", "X ディスプレイと XTest", "X 디스플레이와 XTest",
     "X-Display und XTest", "Écran X et XTest", "Pantalla X y XTest"},
    {"请在桌面会话中启动（需要 DISPLAY 与 XTest 扩展）",
     "Start it inside your desktop session (needs DISPLAY and the XTest extension)",
     "請在桌面工作階段中啟動（需要 DISPLAY 與 XTest 擴充）",
     "デスクトップセッション内で起動してください（DISPLAY と XTest 拡張が必要）",
     "데스크톱 세션 안에서 실행하세요(DISPLAY와 XTest 확장 필요)",
     "In der Desktop-Sitzung starten (braucht DISPLAY und die XTest-Erweiterung)",
     "Lancez-le dans votre session de bureau (DISPLAY et l’extension XTest requis)",
     "Inícialo dentro de tu sesión de escritorio (requiere DISPLAY y la extensión XTest)"},
    {"屏幕采集", "Screen capture", "螢幕擷取", "画面キャプチャ", "화면 캡처", "Bildschirmaufnahme",
     "Capture d’écran", "Captura de pantalla"},
    {"X 服务器缺少 MIT-SHM 或 DAMAGE 扩展", "The X server lacks the MIT-SHM or DAMAGE extension",
     "X 伺服器缺少 MIT-SHM 或 DAMAGE 擴充", "X サーバーに MIT-SHM または DAMAGE 拡張がありません",
     "X 서버에 MIT-SHM 또는 DAMAGE 확장이 없습니다", "Dem X-Server fehlt die MIT-SHM- oder DAMAGE-Erweiterung",
     "Le serveur X n’a pas l’extension MIT-SHM ou DAMAGE", "Al servidor X le falta la extensión MIT-SHM o DAMAGE"},
    {"声音服务器", "Sound server", "聲音伺服器", "サウンドサーバー", "사운드 서버", "Soundserver", "Serveur de son",
     "Servidor de sonido"},
    {"传送这台电脑的声音所需", "Needed to stream this computer’s sound", "傳送這台電腦的聲音所需",
     "このコンピュータの音声を送るのに必要", "이 컴퓨터의 소리를 보내는 데 필요", "Zum Übertragen des Tons dieses Computers nötig",
     "Nécessaire pour diffuser le son de cet ordinateur", "Necesario para transmitir el sonido de este ordenador"},
    {"请启动 PulseAudio 或 PipeWire（pipewire-pulse）", "Start PulseAudio or PipeWire (pipewire-pulse)",
     "請啟動 PulseAudio 或 PipeWire（pipewire-pulse）", "PulseAudio または PipeWire（pipewire-pulse）を起動してください",
     "PulseAudio 또는 PipeWire(pipewire-pulse)를 실행하세요", "PulseAudio oder PipeWire (pipewire-pulse) starten",
     "Démarrez PulseAudio ou PipeWire (pipewire-pulse)", "Inicia PulseAudio o PipeWire (pipewire-pulse)"},
    {"DNS-SD 服务（Avahi）", "DNS-SD daemon (Avahi)", "DNS-SD 服務（Avahi）", "DNS-SD デーモン（Avahi）",
     "DNS-SD 데몬(Avahi)", "DNS-SD-Dienst (Avahi)", "Service DNS-SD (Avahi)", "Servicio DNS-SD (Avahi)"},
    {"让手机找到这台电脑", "Lets the phone find this computer", "讓手機找到這台電腦", "スマートフォンがこのコンピュータを見つけるのに必要",
     "휴대폰이 이 컴퓨터를 찾는 데 필요", "Damit das Telefon diesen Computer findet",
     "Permet au téléphone de trouver cet ordinateur", "Permite que el teléfono encuentre este ordenador"},
    {"请启动 avahi-daemon，或在手机上输入地址", "Start avahi-daemon, or type an address on the phone",
     "請啟動 avahi-daemon，或在手機上輸入位址", "avahi-daemon を起動するか、スマートフォンでアドレスを入力してください",
     "avahi-daemon을 실행하거나 휴대폰에서 주소를 입력하세요", "avahi-daemon starten oder die Adresse am Telefon eingeben",
     "Démarrez avahi-daemon ou saisissez une adresse sur le téléphone",
     "Inicia avahi-daemon o escribe una dirección en el teléfono"},
    {"Command 键对应", "Command key acts as", "Command 鍵對應", "Command キーの割り当て", "Command 키 동작",
     "Befehlstaste wirkt als", "La touche Commande agit comme", "La tecla Comando actúa como"},
    {"下次启动时生效", "Takes effect at the next start", "下次啟動時生效", "次回の起動時に有効になります",
     "다음 실행 시 적용됩니다", "Gilt ab dem nächsten Start", "Prend effet au prochain démarrage",
     "Se aplica en el próximo inicio"},
    {"已就绪", "Ready", "已就緒", "準備完了", "준비됨", "Bereit", "Prêt", "Listo"},
    {"缺失", "Missing", "缺少", "不足", "없음", "Fehlt", "Manquant", "Falta"},
}};

struct ZhHansRow {
    const char* key;
    const char* text;
};

constexpr std::array<ZhHansRow, 5> kZhHansWording = {{
    {"等待你在 Mac 上批准：%@", "等待你在这台电脑上批准：%@"},
    {"这台 iPhone 首次请求控制你的 Mac。\n仅在你本人发起、且确认设备名无误时点“信任”。\n\n设备标识：%@…",
     "这台 iPhone 首次请求控制你的电脑。\n仅在你本人发起、且确认设备名无误时点“信任”。\n\n设备标识：%@…"},
    {"采集 Mac 画面所需", "采集屏幕画面所需"},
    {"未检测到可采集的显示器：请掀开 MacBook 盖子或接一台显示器。", "未检测到可采集的显示器：请打开笔记本电脑的盖子或接一台显示器。"},
    {"此 Mac 不支持 4:4:4 编码，已回退标准画质", "这台电脑不支持 4:4:4 编码，已回退标准画质"},
}};
// clang-format on

}  // namespace

const std::map<std::string, L10n::Table, std::less<>>& L10n::hostTexts() {
    static const auto all = [] {
        std::map<std::string, Table, std::less<>> out;
        l10n_rows::addRows(kShellRows, out);
        for (const auto& row : kShellRows) out["zh-Hans"][row.key] = row.key;
        for (const auto& row : kZhHansWording) out["zh-Hans"][row.key] = row.text;
        return out;
    }();
    return all;
}

}  // namespace df
