// The compiled-in translations. One row per text: the key (the Simplified Chinese text)
// and its English, Traditional Chinese, Japanese, Korean, German, French and Spanish texts.
// "%@" and "%d" are filled in after lookup, so every translation keeps the key's
// placeholders in the same order.
//
// The first four rows are what the control panel matches a status against: in every
// language the two "connected" texts begin with the text of "已连接" and the waiting text
// does not. Keep that when editing them.

#include "DuskFerryAgent/shell/L10n.h"

#include <array>

namespace df {

namespace {
struct Row {
    const char* key;
    const char* en;
    const char* zhHant;
    const char* ja;
    const char* ko;
    const char* de;
    const char* fr;
    const char* es;
};

// clang-format off
constexpr std::array<Row, 65> kRows = {{
    {"等待连接…", "Waiting for connection…", "等待連線…", "接続を待機中…", "연결 대기 중…",
     "Warte auf Verbindung…", "En attente de connexion…", "Esperando conexión…"},
    {"已连接", "Connected", "已連線", "接続済み", "연결됨", "Verbunden", "Connecté", "Conectado"},
    {"已连接，等待握手…", "Connected, waiting for handshake…", "已連線，等待握手…", "接続済み、ハンドシェイク待機中…",
     "연결됨, 핸드셰이크 대기 중…", "Verbunden, warte auf Handshake…", "Connecté, en attente du handshake…",
     "Conectado, esperando el handshake…"},
    {"已连接：%@", "Connected: %@", "已連線：%@", "接続済み：%@", "연결됨: %@", "Verbunden: %@", "Connecté : %@",
     "Conectado: %@"},
    {"客户端失联，结束会话", "Client unresponsive, ending session", "用戶端無回應，結束工作階段",
     "クライアントが応答しません。セッションを終了します", "클라이언트 응답 없음, 세션 종료",
     "Client reagiert nicht, Sitzung wird beendet", "Client sans réponse, fin de la session",
     "El cliente no responde, finalizando la sesión"},
    {"显示器配置变化，重启采集…", "Display changed, restarting capture…", "顯示器已變更，正在重新啟動擷取…",
     "ディスプレイが変更されました。キャプチャを再開中…", "디스플레이 변경됨, 캡처 다시 시작 중…",
     "Display geändert, Aufnahme wird neu gestartet…", "Écran modifié, redémarrage de la capture…",
     "Pantalla cambiada, reiniciando la captura…"},
    {"采集失败：%@（请检查屏幕录制权限）", "Capture failed: %@ (check Screen Recording permission)",
     "擷取失敗：%@（請檢查螢幕錄製權限）", "キャプチャに失敗しました：%@（画面収録の権限を確認してください）",
     "캡처 실패: %@ (화면 기록 권한을 확인하세요)",
     "Aufnahme fehlgeschlagen: %@ (Berechtigung „Bildschirmaufnahme“ prüfen)",
     "Échec de la capture : %@ (vérifiez l’autorisation Enregistrement de l’écran)",
     "Error de captura: %@ (revisa el permiso de Grabación de pantalla)"},
    {"网络恢复，提升画质档位…", "Network recovered, raising quality tier…", "網路已恢復，正在提高畫質等級…",
     "ネットワークが回復しました。画質を上げています…", "네트워크 복구됨, 화질 단계 올리는 중…",
     "Netzwerk wiederhergestellt, Qualitätsstufe wird erhöht…", "Réseau rétabli, augmentation du niveau de qualité…",
     "Red recuperada, subiendo el nivel de calidad…"},
    {"网络拥塞，降低分辨率保流畅…", "Network congested, lowering resolution to stay smooth…",
     "網路壅塞，降低解析度以保持流暢…", "ネットワークが混雑しています。滑らかさを保つため解像度を下げています…",
     "네트워크 혼잡, 부드러운 화면을 위해 해상도 낮추는 중…",
     "Netzwerk überlastet, Auflösung wird für flüssige Darstellung verringert…",
     "Réseau encombré, baisse de la résolution pour rester fluide…",
     "Red congestionada, bajando la resolución para mantener la fluidez…"},
    {"客户端开启虚拟显示器…", "Client enabling the virtual display…", "用戶端正在開啟虛擬顯示器…",
     "クライアントが仮想ディスプレイを有効にしています…", "클라이언트가 가상 디스플레이를 켜는 중…",
     "Client aktiviert das virtuelle Display…", "Le client active l’écran virtuel…",
     "El cliente está activando la pantalla virtual…"},
    {"客户端关闭虚拟显示器…", "Client disabling the virtual display…", "用戶端正在關閉虛擬顯示器…",
     "クライアントが仮想ディスプレイを無効にしています…", "클라이언트가 가상 디스플레이를 끄는 중…",
     "Client deaktiviert das virtuelle Display…", "Le client désactive l’écran virtuel…",
     "El cliente está desactivando la pantalla virtual…"},
    {"切换到显示器 %@…", "Switching to display %@…", "正在切換到顯示器 %@…", "ディスプレイ %@ に切り替え中…",
     "디스플레이 %@(으)로 전환 중…", "Wechsle zu Display %@…", "Passage à l’écran %@…",
     "Cambiando a la pantalla %@…"},
    {"监听失败：%@", "Listener failed: %@", "監聽失敗：%@", "待ち受けに失敗しました：%@", "수신 대기 실패: %@",
     "Listener fehlgeschlagen: %@", "Échec de l’écoute : %@", "Error del servicio de escucha: %@"},
    {"启动失败：%@", "Failed to start: %@", "啟動失敗：%@", "起動に失敗しました：%@", "시작 실패: %@",
     "Start fehlgeschlagen: %@", "Échec du démarrage : %@", "Error al iniciar: %@"},
    {"已拒绝：%@ 失败过多，暂时锁定", "Rejected: %@ — too many failures, locked temporarily",
     "已拒絕：%@ 失敗次數過多，暫時鎖定", "拒否しました：%@ 失敗が多すぎるため一時的にロックしています",
     "거부됨: %@ — 실패가 너무 많아 일시적으로 잠김", "Abgelehnt: %@ – zu viele Fehlversuche, vorübergehend gesperrt",
     "Refusé : %@ — trop d’échecs, verrouillé temporairement",
     "Rechazado: %@ — demasiados fallos, bloqueado temporalmente"},
    {"配对请求：%@", "Pairing request: %@", "配對請求：%@", "ペアリング要求：%@", "페어링 요청: %@",
     "Kopplungsanfrage: %@", "Demande de jumelage : %@", "Solicitud de emparejamiento: %@"},
    {"重新配对：%@", "Re-pairing: %@", "重新配對：%@", "再ペアリング：%@", "다시 페어링: %@",
     "Erneute Kopplung: %@", "Nouveau jumelage : %@", "Volviendo a emparejar: %@"},
    {"等待你在 Mac 上批准：%@", "Waiting for approval on this computer: %@", "等待你在這台電腦上核准：%@",
     "このコンピュータでの承認を待っています：%@", "이 컴퓨터에서 승인 대기 중: %@",
     "Warte auf Bestätigung an diesem Computer: %@", "En attente d’approbation sur cet ordinateur : %@",
     "Esperando aprobación en este ordenador: %@"},
    {"配对被拒绝", "Pairing declined", "配對被拒絕", "ペアリングが拒否されました", "페어링이 거부됨",
     "Kopplung abgelehnt", "Jumelage refusé", "Emparejamiento rechazado"},
    {"设备认证失败", "Device authentication failed", "裝置認證失敗", "デバイス認証に失敗しました", "기기 인증 실패",
     "Geräteauthentifizierung fehlgeschlagen", "Échec de l’authentification de l’appareil",
     "Error de autenticación del dispositivo"},
    {"允许「%@」连接吗？", "Allow “%@” to connect?", "允許「%@」連線嗎？", "「%@」の接続を許可しますか？",
     "“%@”의 연결을 허용하시겠습니까?", "„%@“ die Verbindung erlauben?", "Autoriser « %@ » à se connecter ?",
     "¿Permitir que “%@” se conecte?"},
    {"信任并连接", "Trust and Connect", "信任並連線", "信頼して接続", "신뢰 및 연결", "Vertrauen und verbinden",
     "Faire confiance et connecter", "Confiar y conectar"},
    {"这台 iPhone 首次请求控制你的 Mac。\n仅在你本人发起、且确认设备名无误时点“信任”。\n\n设备标识：%@…",
     "This iPhone is requesting to control your computer for the first time.\nClick “Trust” only if you initiated this "
     "and the device name is correct.\n\nDevice ID: %@…",
     "這台 iPhone 首次請求控制你的電腦。\n僅在你本人發起、且確認裝置名稱無誤時點「信任」。\n\n裝置識別碼：%@…",
     "この iPhone が初めてこのコンピュータの操作を要求しています。\nご自身で開始し、デバイス名が正しい場合にのみ"
     "「信頼」をクリックしてください。\n\nデバイス ID：%@…",
     "이 iPhone이 처음으로 이 컴퓨터의 제어를 요청하고 있습니다.\n직접 시작했고 기기 이름이 맞는 경우에만 “신뢰”를 "
     "클릭하세요.\n\n기기 ID: %@…",
     "Dieses iPhone möchte deinen Computer zum ersten Mal steuern.\nKlicke nur auf „Vertrauen“, wenn du das selbst "
     "gestartet hast und der Gerätename stimmt.\n\nGeräte-ID: %@…",
     "Cet iPhone demande à contrôler votre ordinateur pour la première fois.\nCliquez sur « Faire confiance » uniquement "
     "si vous en êtes à l’origine et que le nom de l’appareil est correct.\n\nIdentifiant de l’appareil : %@…",
     "Este iPhone solicita controlar tu ordenador por primera vez.\nHaz clic en “Confiar” solo si lo iniciaste tú y el "
     "nombre del dispositivo es correcto.\n\nID del dispositivo: %@…"},
    {"拒绝", "Decline", "拒絕", "拒否", "거부", "Ablehnen", "Refuser", "Rechazar"},
    {"接收文件：%@…", "Receiving file: %@…", "正在接收檔案：%@…", "ファイルを受信中：%@…", "파일 수신 중: %@…",
     "Empfange Datei: %@…", "Réception du fichier : %@…", "Recibiendo archivo: %@…"},
    {"已接收：%@ → 下载文件夹", "Received: %@ → Downloads", "已接收：%@ → 下載項目", "受信しました：%@ → ダウンロード",
     "수신됨: %@ → 다운로드", "Empfangen: %@ → Downloads", "Reçu : %@ → Téléchargements", "Recibido: %@ → Descargas"},
    {"接收失败：%@ 数据不完整，请重发", "Receive failed: %@ is incomplete, please resend",
     "接收失敗：%@ 資料不完整，請重新傳送", "受信に失敗しました：%@ が不完全です。再送してください",
     "수신 실패: %@ 데이터가 불완전합니다. 다시 보내 주세요",
     "Empfang fehlgeschlagen: %@ ist unvollständig, bitte erneut senden",
     "Échec de la réception : %@ est incomplet, veuillez le renvoyer",
     "Error de recepción: %@ está incompleto, vuelve a enviarlo"},
    {"发送文件：%@…", "Sending file: %@…", "正在傳送檔案：%@…", "ファイルを送信中：%@…", "파일 전송 중: %@…",
     "Sende Datei: %@…", "Envoi du fichier : %@…", "Enviando archivo: %@…"},
    {"已发送：%@", "Sent: %@", "已傳送：%@", "送信しました：%@", "전송됨: %@", "Gesendet: %@", "Envoyé : %@",
     "Enviado: %@"},
    {"发送中断：%@", "Send interrupted: %@", "傳送中斷：%@", "送信が中断されました：%@", "전송 중단됨: %@",
     "Senden unterbrochen: %@", "Envoi interrompu : %@", "Envío interrumpido: %@"},
    {"已接收剪贴板", "Clipboard received", "已接收剪貼簿", "クリップボードを受信しました", "클립보드 수신됨",
     "Zwischenablage empfangen", "Presse-papiers reçu", "Portapapeles recibido"},
    {"没有已连接的 iPhone", "No iPhone connected", "沒有已連線的 iPhone", "接続中の iPhone はありません",
     "연결된 iPhone 없음", "Kein iPhone verbunden", "Aucun iPhone connecté", "Ningún iPhone conectado"},
    {"配对码", "Pairing Code", "配對碼", "ペアリングコード", "페어링 코드", "Kopplungscode", "Code de jumelage",
     "Código de emparejamiento"},
    {"复制配对码", "Copy pairing code", "拷貝配對碼", "ペアリングコードをコピー", "페어링 코드 복사",
     "Kopplungscode kopieren", "Copier le code de jumelage", "Copiar el código de emparejamiento"},
    {"局域网", "Local network", "區域網路", "ローカルネットワーク", "로컬 네트워크", "Lokales Netzwerk", "Réseau local",
     "Red local"},
    {"未安装", "Not installed", "未安裝", "未インストール", "설치되지 않음", "Nicht installiert", "Non installé",
     "No instalado"},
    {"虚拟显示器", "Virtual Display", "虛擬顯示器", "仮想ディスプレイ", "가상 디스플레이", "Virtuelles Display",
     "Écran virtuel", "Pantalla virtual"},
    {"5K 采集 · 120Hz · 不接显示器也能用", "5K capture · 120Hz · works headless", "5K 擷取 · 120Hz · 不接顯示器也能用",
     "5K キャプチャ · 120Hz · ディスプレイなしでも使用可能", "5K 캡처 · 120Hz · 디스플레이 없이도 사용 가능",
     "5K-Aufnahme · 120 Hz · funktioniert ohne Monitor", "Capture 5K · 120 Hz · fonctionne sans écran",
     "Captura 5K · 120 Hz · funciona sin pantalla"},
    {"发送文件到 iPhone…", "Send Files to iPhone…", "傳送檔案到 iPhone…", "iPhone にファイルを送信…",
     "iPhone으로 파일 보내기…", "Dateien an iPhone senden…", "Envoyer des fichiers à l’iPhone…",
     "Enviar archivos al iPhone…"},
    {"开机自启动", "Launch at Login", "登入時啟動", "ログイン時に起動", "로그인 시 실행", "Beim Anmelden starten",
     "Lancer à l’ouverture de session", "Abrir al iniciar sesión"},
    {"屏幕录制", "Screen Recording", "螢幕錄製", "画面収録", "화면 기록", "Bildschirmaufnahme",
     "Enregistrement de l’écran", "Grabación de pantalla"},
    {"采集 Mac 画面所需", "Needed to capture the screen", "擷取螢幕畫面所需", "画面のキャプチャに必要",
     "화면 캡처에 필요", "Zum Aufnehmen des Bildschirms nötig", "Nécessaire pour capturer l’écran",
     "Necesario para capturar la pantalla"},
    {"辅助功能", "Accessibility", "輔助使用", "アクセシビリティ", "손쉬운 사용", "Bedienungshilfen", "Accessibilité",
     "Accesibilidad"},
    {"注入键盘鼠标操作所需", "Needed to control the keyboard and mouse", "控制鍵盤和滑鼠所需",
     "キーボードとマウスの操作に必要", "키보드와 마우스 제어에 필요", "Zum Steuern von Tastatur und Maus nötig",
     "Nécessaire pour contrôler le clavier et la souris", "Necesario para controlar el teclado y el ratón"},
    {"打开设置", "Open Settings", "打開設定", "設定を開く", "설정 열기", "Einstellungen öffnen", "Ouvrir les réglages",
     "Abrir Ajustes"},
    {"语言", "Language", "語言", "言語", "언어", "Sprache", "Langue", "Idioma"},
    {"跟随系统", "System Default", "跟隨系統", "システムのデフォルト", "시스템 기본값", "Systemstandard",
     "Langue du système", "Predeterminado del sistema"},
    {"断开后锁定屏幕", "Lock Screen on Disconnect", "中斷連線後鎖定螢幕", "切断時に画面をロック",
     "연결 해제 시 화면 잠금", "Bildschirm beim Trennen sperren", "Verrouiller l’écran à la déconnexion",
     "Bloquear pantalla al desconectar"},
    {"会话结束自动锁屏；再次远程连入需输入密码解锁", "Locks this computer when a session ends; unlocking needs the password",
     "工作階段結束時鎖定這台電腦；解鎖需要輸入密碼",
     "セッション終了時にこのコンピュータをロックします。ロック解除にはパスワードが必要です",
     "세션이 끝나면 이 컴퓨터를 잠급니다. 잠금 해제에는 암호가 필요합니다",
     "Sperrt diesen Computer, wenn eine Sitzung endet; zum Entsperren ist das Passwort nötig",
     "Verrouille cet ordinateur à la fin d’une session ; le déverrouillage demande le mot de passe",
     "Bloquea este ordenador al terminar una sesión; para desbloquearlo se necesita la contraseña"},
    {"已信任的设备", "Trusted Devices", "已信任的裝置", "信頼済みのデバイス", "신뢰하는 기기",
     "Vertrauenswürdige Geräte", "Appareils de confiance", "Dispositivos de confianza"},
    {"吊销该设备的连接权限", "Revoke this device's access", "撤銷此裝置的連線權限", "このデバイスのアクセスを取り消す",
     "이 기기의 접근 권한 취소", "Zugriff dieses Geräts widerrufen", "Révoquer l’accès de cet appareil",
     "Revocar el acceso de este dispositivo"},
    {"退出 Brevox", "Quit Brevox", "結束 Brevox", "Brevox を終了", "Brevox 종료", "Brevox beenden", "Quitter Brevox",
     "Salir de Brevox"},
    {"未知", "Unknown", "未知", "不明", "알 수 없음", "Unbekannt", "Inconnu", "Desconocido"},
    {"显示器 %d", "Display %d", "顯示器 %d", "ディスプレイ %d", "디스플레이 %d", "Display %d", "Écran %d",
     "Pantalla %d"},
    {"Brevox 连接", "Brevox connection", "Brevox 連線", "Brevox 接続", "Brevox 연결", "Brevox-Verbindung",
     "Connexion Brevox", "Conexión de Brevox"},
    {"这台电脑的显示服务器无法添加虚拟显示器", "This computer's display server cannot add a virtual display",
     "這台電腦的顯示伺服器無法新增虛擬顯示器", "このコンピュータのディスプレイサーバは仮想ディスプレイを追加できません",
     "이 컴퓨터의 디스플레이 서버는 가상 디스플레이를 추가할 수 없습니다",
     "Der Displayserver dieses Computers kann kein virtuelles Display hinzufügen",
     "Le serveur d’affichage de cet ordinateur ne peut pas ajouter d’écran virtuel",
     "El servidor de pantalla de este equipo no puede añadir una pantalla virtual"},
    {"未检测到显示器，正在开启虚拟显示器…", "No display detected — enabling the virtual display…",
     "未偵測到顯示器，正在開啟虛擬顯示器…", "ディスプレイが検出されません。仮想ディスプレイを有効にしています…",
     "디스플레이가 감지되지 않음 — 가상 디스플레이를 켜는 중…", "Kein Display erkannt – virtuelles Display wird aktiviert…",
     "Aucun écran détecté — activation de l’écran virtuel…",
     "No se detectó ninguna pantalla: activando la pantalla virtual…"},
    {"未检测到可采集的显示器：请掀开 MacBook 盖子或接一台显示器。",
     "No capturable display: open your laptop’s lid or connect a display.",
     "未偵測到可擷取的顯示器：請打開筆記型電腦上蓋或連接一台顯示器。",
     "キャプチャできるディスプレイがありません：ノートパソコンの蓋を開けるか、ディスプレイを接続してください。",
     "캡처할 수 있는 디스플레이가 없습니다: 노트북 덮개를 열거나 디스플레이를 연결하세요.",
     "Kein aufnehmbares Display: Klappe den Laptop auf oder schließe ein Display an.",
     "Aucun écran capturable : ouvrez l’écran de votre portable ou branchez un moniteur.",
     "No hay ninguna pantalla capturable: abre la tapa de tu portátil o conecta una pantalla."},
    {"此 Mac 不支持 4:4:4 编码，已回退标准画质", "This computer can't encode 4:4:4 — reverted to standard quality",
     "這台電腦不支援 4:4:4 編碼，已改回標準畫質",
     "このコンピュータは 4:4:4 でエンコードできません。標準画質に戻しました",
     "이 컴퓨터는 4:4:4 인코딩을 지원하지 않아 표준 화질로 돌아갔습니다",
     "Dieser Computer kann kein 4:4:4 codieren – zurück zur Standardqualität",
     "Cet ordinateur ne peut pas encoder en 4:4:4 — retour à la qualité standard",
     "Este ordenador no puede codificar 4:4:4: se volvió a la calidad estándar"},
    {"QUIC 监听失败，视频走 TCP", "QUIC listener failed — video over TCP", "QUIC 監聽失敗，影片改走 TCP",
     "QUIC の待ち受けに失敗しました。映像は TCP で送信します", "QUIC 수신 대기 실패 — 영상은 TCP로 전송",
     "QUIC-Listener fehlgeschlagen – Video über TCP", "Échec de l’écoute QUIC — vidéo via TCP",
     "Error del servicio de escucha QUIC: vídeo por TCP"},
    {"Brevox 屏幕串流中", "Brevox screen streaming", "Brevox 螢幕串流中", "Brevox 画面ストリーミング中",
     "Brevox 화면 스트리밍 중", "Brevox-Bildschirmübertragung läuft", "Diffusion de l’écran Brevox en cours",
     "Brevox transmitiendo la pantalla"},
    // The agent's own status for a host without a DNS-SD daemon.
    {"服务发现不可用（%@），请按地址连接", "Service discovery unavailable (%@); connect by address",
     "服務探索無法使用（%@），請依位址連線", "サービス検出を利用できません（%@）。アドレスで接続してください",
     "서비스 검색을 사용할 수 없음(%@) — 주소로 연결하세요",
     "Diensterkennung nicht verfügbar (%@) – per Adresse verbinden",
     "Découverte de services indisponible (%@) — connectez-vous par adresse",
     "Descubrimiento de servicios no disponible (%@): conéctese por dirección"},
    // Failed handshakes from many addresses at once.
    {"配对尝试多次失败", "Repeated failed pairing attempts", "配對嘗試多次失敗", "ペアリングの失敗が繰り返されています",
     "페어링 시도가 반복적으로 실패함", "Wiederholt fehlgeschlagene Kopplungsversuche",
     "Échecs répétés de tentatives de jumelage", "Intentos de emparejamiento fallidos repetidos"},
    // The approval prompt's text for a trusted device that enrols with another key.
    {"这台设备的密钥已更改。\n仅在你本人在该设备上重新安装了应用时点“信任”，否则可能有人在冒用它。\n\n设备标识：%@…",
     "The key of this device has changed.\nClick “Trust” only if you reinstalled the app on it yourself; otherwise someone may be impersonating it.\n\nDevice ID: %@…",
     "這台裝置的密鑰已變更。\n僅在你本人於該裝置上重新安裝了 App 時才點「信任」，否則可能有人在冒用它。\n\n裝置識別碼：%@…",
     "このデバイスの鍵が変更されました。\nご自身でこのデバイスにアプリを再インストールした場合にのみ「信頼」をクリックしてください。そうでない場合、誰かがなりすましている可能性があります。\n\nデバイス ID：%@…",
     "이 기기의 키가 변경되었습니다.\n직접 이 기기에 앱을 다시 설치한 경우에만 “신뢰”를 클릭하세요. 그렇지 않으면 누군가 이 기기를 사칭하고 있을 수 있습니다.\n\n기기 ID: %@…",
     "Der Schlüssel dieses Geräts hat sich geändert.\nKlicke nur auf „Vertrauen“, wenn du die App darauf selbst neu installiert hast; andernfalls gibt sich vielleicht jemand als dieses Gerät aus.\n\nGeräte-ID: %@…",
     "La clé de cet appareil a changé.\nCliquez sur « Faire confiance » seulement si vous avez vous-même réinstallé l’app sur cet appareil ; sinon, quelqu’un usurpe peut-être son identité.\n\nIdentifiant de l’appareil : %@…",
     "La clave de este dispositivo ha cambiado.\nHaz clic en “Confiar” solo si tú mismo reinstalaste la app en él; de lo contrario, alguien podría estar suplantándolo.\n\nID del dispositivo: %@…"},
    // A hello or enrolment whose device name or ID is longer than the agent keeps.
    {"设备名称或标识过长", "Device name or ID too long", "裝置名稱或識別碼過長", "デバイス名または ID が長すぎます",
     "기기 이름 또는 ID가 너무 김", "Gerätename oder -ID zu lang", "Nom ou identifiant de l’appareil trop long",
     "Nombre o ID del dispositivo demasiado largo"},
}};
// clang-format on
}  // namespace

const std::map<std::string, L10n::Table, std::less<>>& L10n::tables() {
    // Built once on first use; a function-local static is initialised exactly once even
    // when the first lookups race from the main thread and the server queue.
    static const std::map<std::string, Table, std::less<>> all = [] {
        std::map<std::string, Table, std::less<>> built;
        auto& en = built["en"];
        auto& zhHant = built["zh-Hant"];
        auto& ja = built["ja"];
        auto& ko = built["ko"];
        auto& de = built["de"];
        auto& fr = built["fr"];
        auto& es = built["es"];
        for (const auto& row : kRows) {
            en.emplace(row.key, row.en);
            zhHant.emplace(row.key, row.zhHant);
            ja.emplace(row.key, row.ja);
            ko.emplace(row.key, row.ko);
            de.emplace(row.key, row.de);
            fr.emplace(row.key, row.fr);
            es.emplace(row.key, row.es);
        }
        return built;
    }();
    return all;
}

}  // namespace df
