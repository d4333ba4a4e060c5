// The window's texts in display order, their conversion for widgets and the
// three label fonts.
#include "lang.h"

#include <libintl.h>

#include <clocale>
#include <cstdlib>
#include <cstring>

#include <memory>
#include <string>

// Set by the build from the install layout; this is GNUInstallDirs' default.
#ifndef MODCFG_LOCALEDIR_FROM_BINDIR
#define MODCFG_LOCALEDIR_FROM_BINDIR "../share/locale"
#endif

const char text_net_connect1[] = "请先把计算机网卡静态设置为:";
const char text_net_connect2[] = "10.10.100.123/255.255.255.0";
const char text_net_connect3[] = "再起动本程序!";
const char text_net_connect4[] = "最后QX-B27模块上电!";
const char text_net_conn1[] = "正在等待连接.";
const char text_net_conn2[] = "正在等待连接..";
const char text_net_conn3[] = "正在等待连接...";
const char text_net_conn4[] = "正在等待连接...";
const char text_net_conn5[] = "正在等待连接....";
const char text_net_conn6[] = "模块已连接";
const char text_title[] = "QX-B27设置工具 V2.2";
const char text_cpcom_device[] = "串口";
const char text_serial_baud[] = "波特率";
const char text_serial_data[] = "字节数";
const char text_serial_parity[] = "检验位";
const char text_serial_stop[] = "停止位";
const char text_button_connect[] = "连接模块";
const char text_button_disconnect[] = "断开模块";
const char text_button_read[] = "读取设置";
const char text_button_save[] = "保存命令";
const char text_cmd_filename[] = "文件名:";
const char text_auto_config[] = "连接时自动设置";
const char text_button_file_config[] = "使用命令文件设置";
const char text_frame_pccom[] = "PC串口设置";
const char text_frame_pcnet[] = "网络连接";
const char text_frame_config[] = "模块设置管理";
const char text_radio_apmode[] = "AP 模式";
const char text_radio_stamode[] = "STA 模式";
const char text_radio_thmode[] = "透明传输模式";
const char text_radio_agmode[] = "协议传输模式";
const char text_user_name[] = "用户名";
const char text_password[] = "密码";
const char text_MID[] = "模块MID";
const char text_button_reboot[] = "重启模块";
const char text_button_reload[] = "恢复出厂设置";
const char text_frame_wifimode[] = "WIFI模式选择";
const char text_frame_workmode[] = "工作模式选择";
const char text_frame_user[] = "用户管理";
const char text_frame_management[] = "模块管理";
const char text_label_b27[] = "QX-B27模块";
const char text_label_ver[] = "软件版本: ";
const char text_label_company[] = "";
const char text_button_confirm[] = "确认";
const char text_button_cancel[] = "取消";
const char text_auto_frame[] = "自动成帧";
const char text_auto_frame_time[] = "成帧时间(100~10000)(ms)";
const char text_auto_frame_length[] = "成帧长度(16~4096)(Byte)";
const char text_net_mode[] = "网络模式";
const char text_net_protocol[] = "网络协议";
const char text_net_port[] = "协议端口";
const char text_net_server_add[] = "服务器地址";
const char text_net_tcp_to[] = "TCP连接超时(<600秒)";
const char text_net_maxsk[] = "TCP最大连接数(1~32)";
const char text_frame_modserial[] = "模块串口设置";
const char text_frame_autofram[] = "串口自动成帧设置";
const char text_frame_network[] = "网络参数设置";
const char text_wifiap_mode[] = "无线网络模式";
const char text_wifiap_ssid[] = "网络名称";
const char text_wifiap_channel[] = "无线信道";
const char text_wifiap_auth[] = "加密方式";
const char text_wifiap_encry[] = "加密算法";
const char text_wifiap_key[] = "密码";
const char text_wifiap_dhcp[] = "DHCP服务器";
const char text_wifiap_ip[] = "IP地址";
const char text_wifiap_mask[] = "子网掩码";
const char text_wifiap_gateway[] = "网关IP";
const char text_frame_wifiap[] = "无线参数";
const char text_frame_lan[] = "LAN口参数设置";
const char text_wifista_ssid[] = "网络名称";
const char text_wifista_mac[] = "MAC地址";
const char text_wifista_auth[] = "加密方式";
const char text_wifista_encry[] = "加密算法";
const char text_wifista_key[] = "密码";
const char text_wan_dhcp[] = "动态地址分配";
const char text_wan_static[] = "静态地址分配";
const char text_wan_ip[] = "IP地址";
const char text_wan_mask[] = "子网掩码";
const char text_wan_gateway[] = "网关IP";
const char text_frame_wifista[] = "无线参数";
const char text_frame_wan[] = "WAN口参数设置";
const char text_notebook_management[] = "模块管理";
const char text_notebook_comm[] = "通讯设置";
const char text_notebook_ap[] = "AP模式设置";
const char text_notebook_sta[] = "STA模式设置";
// The console window's buttons and the working-directory error dialog.
const char text_console_copy[] = "全部复制";
const char text_console_clear[] = "清除";
const char text_workdir_error[] = "工作目录无法使用";

namespace
{

using gchar_ptr = std::unique_ptr<gchar, decltype(&g_free)>;

bool is_dir(const std::string &path)
{
    return g_file_test(path.c_str(), G_FILE_TEST_IS_DIR) != FALSE;
}

} // namespace

std::string ui_localedir_for(const std::string &exe_path)
{
    gchar_ptr dir(g_path_get_dirname(exe_path.c_str()), g_free);
    const std::string installed = std::string(dir.get()) + "/" + MODCFG_LOCALEDIR_FROM_BINDIR;
    if (is_dir(installed))
        return installed;
    // The build tree keeps the programs and locale/ side by side.
    const std::string beside = std::string(dir.get()) + "/locale";
    return is_dir(beside) ? beside : std::string();
}

void ui_language_init(const char *localedir)
{
    std::string dir = localedir ? localedir : "";
    if (dir.empty()) {
        gchar_ptr exe(g_file_read_link("/proc/self/exe", nullptr), g_free);
        if (exe)
            dir = ui_localedir_for(exe.get());
    }
    if (!dir.empty())
        bindtextdomain(MODCFG_TEXT_DOMAIN, dir.c_str());
    bind_textdomain_codeset(MODCFG_TEXT_DOMAIN, "UTF-8");
}

void ui_language_choose()
{
    std::setlocale(LC_ALL, "");
    // A catalogue applies (English, or Chinese, which keeps the source
    // texts): gettext's choice stands. Without one, gettext answers the
    // empty text itself rather than the catalogue's header.
    if (dgettext(MODCFG_TEXT_DOMAIN, "")[0] != '\0')
        return;
    const char *asked = nullptr;
    for (const char *var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char *v = std::getenv(var);
        if (v && v[0]) {
            asked = v;
            break;
        }
    }
    if (asked == nullptr)
        return;
    const std::string name = asked;
    if (name == "C" || name == "POSIX" || name.rfind("C.", 0) == 0 || name.rfind("zh", 0) == 0)
        return;
    // A language we have no catalogue for reads English sooner than Chinese.
    // gettext ignores LANGUAGE in the C locale, which a locale the system
    // has not generated leaves in place.
    setenv("LANGUAGE", "en", 1);
    const char *now = std::setlocale(LC_MESSAGES, nullptr);
    if (now == nullptr || std::strcmp(now, "C") == 0 || std::strcmp(now, "POSIX") == 0)
        std::setlocale(LC_MESSAGES, "C.UTF-8");
    // gettext caches by locale name, not by LANGUAGE: naming the domain
    // again drops the lookup above.
    textdomain(textdomain(nullptr));
}

const char *ui_translate(const char *text)
{
    // gettext("") answers the catalogue's header, not an empty text.
    if (text == nullptr || text[0] == '\0')
        return text;
    // The Wi-Fi key labels read like the web password's label but have
    // far less room: they are looked up under a context of their own
    // (gettext keeps it before the text, separated by \004).
    if (text == text_wifiap_key || text == text_wifista_key) {
        const std::string key = std::string("Wi-Fi key\004") + text;
        const char *found = dgettext(MODCFG_TEXT_DOMAIN, key.c_str());
        // Found, gettext returns the catalogue's own (lasting) string.
        return found == key.c_str() ? text : found;
    }
    return dgettext(MODCFG_TEXT_DOMAIN, text);
}

gchar *_(const char *text)
{
    text = ui_translate(text);
    if (text == nullptr || !g_utf8_validate(text, -1, nullptr))
        return nullptr;
    return g_strdup(text);
}

namespace
{

void set_font(GtkWidget *widget, const char *font)
{
    PangoFontDescription *desc = pango_font_description_from_string(font);
    gtk_widget_modify_font(widget, desc);
    pango_font_description_free(desc);
}

} // namespace

void set_widget_font(GtkWidget *widget)
{
    set_font(widget, "Sans, 10");
}
void set_widget_font_sb(GtkWidget *widget)
{
    set_font(widget, "Sans, Bold 10");
}
void set_widget_font_within(GtkWidget *label, int width)
{
    g_object_set_data(G_OBJECT(label), "fit-width", GINT_TO_POINTER(width));
    // The font takes effect when the label gets its style in the window:
    // measured then, and again after each smaller size is set.
    g_signal_connect(label, "style-set", G_CALLBACK(+[](GtkWidget *w, GtkStyle *, gpointer) {
                         const int room = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(w), "fit-width"));
                         PangoLayout *layout = gtk_widget_create_pango_layout(
                             w, gtk_label_get_text(GTK_LABEL(w)));
                         int need = 0;
                         pango_layout_get_pixel_size(layout, &need, nullptr);
                         g_object_unref(layout);
                         const int size = pango_font_description_get_size(
                                              gtk_widget_get_style(w)->font_desc) /
                                          (PANGO_SCALE / 10);
                         if (need <= room || size <= 70)
                             return;
                         // Whole points: at half points GTK rounds the line height
                         // down and Pango up, so the label's place may be a pixel short.
                         const int smaller = (size - 1) / 10 * 10;
                         const std::string font = "Sans, " + std::to_string(smaller / 10) + "." +
                                                  std::to_string(smaller % 10);
                         set_font(w, font.c_str());
                     }),
                     nullptr);
}
void set_widget_font_b(GtkWidget *widget)
{
    set_font(widget, "Sans, Bold 12");
}

namespace
{

// After the button placed its caption: a caption wider than its place is
// cut with an ellipsis and the whole text goes to the tooltip; one that
// fits (the connect button's other caption) drops a tooltip left from
// before.
void fit_caption(GtkWidget *button, GtkAllocation *, gpointer)
{
    GtkWidget *label = gtk_bin_get_child(GTK_BIN(button));
    if (!GTK_IS_LABEL(label))
        return;
    GtkAllocation room;
    gtk_widget_get_allocation(label, &room);
    const bool cut = gtk_label_get_ellipsize(GTK_LABEL(label)) != PANGO_ELLIPSIZE_NONE;
    if (!cut) {
        int w = 0;
        pango_layout_get_pixel_size(gtk_label_get_layout(GTK_LABEL(label)), &w, nullptr);
        if (w <= room.width) {
            gtk_widget_set_tooltip_text(button, nullptr);
            return;
        }
        gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
    }
    gtk_widget_set_tooltip_text(button, gtk_label_get_text(GTK_LABEL(label)));
}

} // namespace

int caption_width(GtkWidget *button)
{
    int w = 0, h = 0;
    gtk_widget_get_size_request(button, &w, &h);
    gtk_widget_set_size_request(button, -1, -1);
    GtkRequisition req;
    gtk_widget_size_request(button, &req);
    gtk_widget_set_size_request(button, w, h);
    return req.width;
}

void set_caption_fit(GtkWidget *button)
{
    g_signal_connect_after(button, "size-allocate", G_CALLBACK(fit_caption), nullptr);
}
