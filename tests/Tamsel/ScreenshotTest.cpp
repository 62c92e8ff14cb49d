// Pictures of every window in English and in Chinese, taken from the display (these tests run
// alone so that no other window covers the one being taken).
#include "GtkDialogFixture.h"
#include "TamselDialogs.h"
#include "TestUtil.h"

#include "platform/CertificatePanel.h"

#include <gtest/gtest.h>

namespace {

using dialogtest::GtkDialogTest;
using dialogtest::RecordSet;
using gtkdriver::Script;

// One picture of every window, in English and in Chinese, for people to look at.
class GtkScreenshotTest : public GtkDialogTest, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(GtkScreenshotTest, EveryWindow)
{
    const std::string lang = GetParam();
    const bool zh = lang == "zh";
    SetLocale(zh ? "zh_CN.UTF-8" : "C.UTF-8");
    const std::string certTitle = zh ? "选择证书" : "Select Certificate";
    const std::string alertTitle = zh ? "未选择证书" : "No Certificate Selected";
    const std::string sheetTitle = zh ? "证书" : "Certificate";

    RecordSet records;
    records.Add(zh ? "CN=张三, O=示例公司, C=CN" : "CN=Alice Example, O=Example Corp, C=US",
                zh ? "CN=示例根证书, O=示例公司, C=CN" : "CN=Example Root CA, O=Example Corp, C=US");
    records.Add(zh ? "CN=李四, O=示例公司, C=CN" : "CN=Bob Example, O=Example Corp, C=US",
                zh ? "CN=示例根证书, O=示例公司, C=CN" : "CN=Example Root CA, O=Example Corp, C=US");
    records.Add(zh ? "CN=王五, OU=签名, O=示例公司, C=CN" : "CN=Carol Example, OU=Signing, O=Example Corp, C=US",
                zh ? "CN=示例中级证书, O=示例公司, C=CN" : "CN=Example Issuing CA, O=Example Corp, C=US");
    {
        Script script;
        script.WaitForWindow(certTitle, &m_window)
            .Then("OK without a row", [&] {
                Click(m_window, "ClickOK");
                return true;
            })
            .WaitForWindow(alertTitle, &m_other)
            .Screenshot(&m_other, "alert-" + lang)
            .Then("dismiss", [&] {
                Click(m_other, "AlertOK");
                return true;
            });
        script.Start();
        EXPECT_EQ(-1, tamsel::RunSelectCert(records.Pointers()));
        EXPECT_TRUE(script.Finished()) << script.Failure();
    }
    {
        Script script;
        script.WaitForWindow(certTitle, &m_window)
            .Then("select the second row", [&] {
                SelectPath(Named(m_window, "pCertTableView"), 1);
                gtk_widget_queue_draw(m_window);
                return true;
            })
            .Then("let it draw", [&] {
                g_object_set_data(G_OBJECT(m_window), "gtkdriver-drawn", nullptr);
                return true;
            })
            .Then("drawn", [&] { return nullptr != g_object_get_data(G_OBJECT(m_window), "gtkdriver-drawn"); })
            .Screenshot(&m_window, "certificate-table-" + lang)
            .Then("every column ends inside the visible width", [&] {
                // Hazard: fixed column widths wider than the table cut the last column at the
                // window's edge, past its ellipsis.
                const ColumnLayout layout = Columns(Named(m_window, "pCertTableView"));
                EXPECT_GT(layout.visible, 0);
                EXPECT_EQ(2u, layout.rightEdges.size());
                for (const int edge : layout.rightEdges)
                    EXPECT_LE(edge, layout.visible);
                return true;
            })
            .Then("double-click", [&] {
                ActivateRow(Named(m_window, "pCertTableView"), 1);
                return true;
            })
            .WaitForWindow(sheetTitle, &m_other)
            .Screenshot(&m_other, "certificate-sheet-" + lang)
            .Then("close the sheet", [&] {
                Click(m_other, platform::CertificatePanel::kOKOutlet);
                return true;
            })
            .WaitForWindowGone(sheetTitle)
            .Then("OK", [&] {
                Click(m_window, "ClickOK");
                return true;
            });
        script.Start();
        EXPECT_EQ(1, tamsel::RunSelectCert(records.Pointers()));
        EXPECT_TRUE(script.Finished()) << script.Failure();
    }
    {
        Script script;
        script.WaitForWindow(zh ? "选择密钥" : "Select Key", &m_window)
            .Screenshot(&m_window, "key-list-" + lang)
            .Then("OK", [&] {
                Click(m_window, "ClickOK");
                return true;
            });
        script.Start();
        const char* keys[] = {zh ? "签名密钥 (SM2)" : "Signing key (RSA 2048)", zh ? "加密密钥 (SM2)" : "Encryption key (RSA 2048)",
                              nullptr};
        EXPECT_EQ(0, tamsel::RunSelectedKey(keys));
        EXPECT_TRUE(script.Finished()) << script.Failure();
    }
    {
        Script script;
        script.WaitForWindow(zh ? "输入 PIN 码" : "Enter PIN", &m_window)
            .Then("type a short PIN", [&] {
                gtk_entry_set_text(GTK_ENTRY(Named(m_window, "m_pPINText")), "123");
                Click(m_window, "ClickOK");
                g_object_set_data(G_OBJECT(m_window), "gtkdriver-drawn", nullptr);
                gtk_widget_queue_draw(m_window);
                return true;
            })
            .Then("drawn", [&] { return nullptr != g_object_get_data(G_OBJECT(m_window), "gtkdriver-drawn"); })
            .Screenshot(&m_window, "pin-notice-" + lang)
            .Then("Cancel", [&] {
                Click(m_window, "ClickCancel");
                return true;
            });
        script.Start();
        char* pin = nullptr;
        EXPECT_EQ(-1, tamsel::RunUserPIN(1, 6, 8, &pin));
        EXPECT_TRUE(script.Finished()) << script.Failure();
    }

    for (const char* name : {"alert-", "certificate-table-", "certificate-sheet-", "key-list-", "pin-notice-"}) {
        const std::string path = gtkdriver::ScreenshotPath(name + lang);
        GError* error = nullptr;
        GdkPixbuf* picture = gdk_pixbuf_new_from_file(path.c_str(), &error);
        ASSERT_NE(nullptr, picture) << path;
        EXPECT_GT(gdk_pixbuf_get_width(picture), 200) << path;
        EXPECT_GT(gdk_pixbuf_get_height(picture), 80) << path;
        // The PIN notice is drawn in red: some pixels of the picture must be clearly red.
        if (std::string(name) == "pin-notice-") {
            const int channels = gdk_pixbuf_get_n_channels(picture);
            const int stride = gdk_pixbuf_get_rowstride(picture);
            const guchar* pixels = gdk_pixbuf_get_pixels(picture);
            int red = 0;
            for (int y = 0; y < gdk_pixbuf_get_height(picture); ++y) {
                for (int x = 0; x < gdk_pixbuf_get_width(picture); ++x) {
                    const guchar* p = pixels + y * stride + x * channels;
                    red += (p[0] > 150 && p[1] < 90 && p[2] < 90) ? 1 : 0;
                }
            }
            EXPECT_GT(red, 20) << path;
        }
        g_object_unref(picture);
    }
}

// The certificate sheet of an SM2 certificate with a long subject, issued by an SM2 authority made
// with the openssl command. scripts/dialog-screenshots.sh copies the pictures into docs/screenshots.
TEST_P(GtkScreenshotTest, SM2CertificateSheet)
{
    const std::string lang = GetParam();
    const bool zh = lang == "zh";
    SetLocale(zh ? "zh_CN.UTF-8" : "C.UTF-8");
    const std::string subject =
        zh ? "/C=CN/ST=北京市/L=海淀区/O=示例数字证书认证有限公司/OU=网上银行与电子政务服务部"
             "/OU=华北区域分公司数字证书服务中心/OU=企业客户签名证书/CN=张三（个人签名证书，名称很长的示例）"
             "/emailAddress=zhangsan.signing@example.cn"
           : "/C=CN/ST=Beijing/L=Haidian District/O=Example Digital Certificate Authority Co., Ltd."
             "/OU=Online Banking and Electronic Government Services"
             "/OU=North China Regional Digital Certificate Service Centre/OU=Corporate Signing Certificates"
             "/CN=Alice Example With A Very Long Common Name/emailAddress=alice.example@example.com";
    const std::string ca = zh ? "/C=CN/O=示例数字证书认证有限公司/CN=示例 SM2 证书颁发机构" : "/C=CN/O=Example CA/CN=Example SM2 CA";
    testutil::ScopedTempDir dir;
    const std::string make = testutil::SourceDir() + "/tests/fixtures/make-sm2-user-cert.sh";
    std::string log;
    ASSERT_EQ(0, testutil::RunCommand("bash " + testutil::ShellQuote(make) + " " + testutil::ShellQuote(dir.Path()) + " " +
                                          testutil::ShellQuote(ca) + " " + testutil::ShellQuote(subject) + " 2>&1",
                                      &log))
        << log;
    std::string der;
    ASSERT_TRUE(testutil::ReadFile(dir.File("user.der"), &der));
    RecordSet records;
    records.AddRaw("CN=SM2", "CN=SM2 CA", std::vector<unsigned char>(der.begin(), der.end()));
    Script script;
    script.WaitForWindow(zh ? "选择证书" : "Select Certificate", &m_window)
        .Then("double-click", [&] {
            ActivateRow(Named(m_window, "pCertTableView"), 0);
            return true;
        })
        .WaitForWindow(zh ? "证书" : "Certificate", &m_other)
        .Screenshot(&m_other, "cert-sheet-sm2-" + lang)
        .Then("close the sheet", [&] {
            Click(m_other, platform::CertificatePanel::kOKOutlet);
            return true;
        })
        .WaitForWindowGone(zh ? "证书" : "Certificate")
        .Then("Cancel", [&] {
            Click(m_window, "ClickCancel");
            return true;
        });
    script.Start();
    EXPECT_EQ(-1, tamsel::RunSelectCert(records.Pointers()));
    EXPECT_TRUE(script.Finished()) << script.Failure();
    EXPECT_TRUE(testutil::FileExists(gtkdriver::ScreenshotPath("cert-sheet-sm2-" + lang)));
}

// The visible tooltip window and the text of its label, or null.
GtkWidget* FindTooltip(std::string* text)
{
    GList* toplevels = gtk_window_list_toplevels();
    GtkWidget* found = nullptr;
    for (GList* l = toplevels; l && !found; l = l->next) {
        GtkWidget* w = GTK_WIDGET(l->data);
        if (gtk_widget_get_mapped(w) && GDK_WINDOW_TYPE_HINT_TOOLTIP == gtk_window_get_type_hint(GTK_WINDOW(w)))
            found = w;
    }
    g_list_free(toplevels);
    struct Search
    {
        static void Label(GtkWidget* widget, gpointer data)
        {
            if (GTK_IS_LABEL(widget) && gtk_widget_get_visible(widget))
                *static_cast<std::string*>(data) += gtk_label_get_text(GTK_LABEL(widget));
            else if (GTK_IS_CONTAINER(widget))
                gtk_container_forall(GTK_CONTAINER(widget), Label, data);
        }
    };
    text->clear();
    if (found)
        Search::Label(found, text);
    return found;
}

// Moves the pointer (the display's one) to a point of the window.
void MovePointer(GtkWidget* window, int x, int y)
{
    int originX = 0, originY = 0;
    if (window)
        gdk_window_get_origin(gtk_widget_get_window(window), &originX, &originY);
    GdkDisplay* display = gdk_display_get_default();
    gdk_device_warp(gdk_seat_get_pointer(gdk_display_get_default_seat(display)),
                    gdk_display_get_default_screen(display), originX + x, originY + y);
}

// Guards the rows' tooltips: subjects that end in a long email address fill their cells with it
// and lose the name behind the ellipsis, so two rows look alike. The pointer resting on a row
// shows its whole subject and issuer. scripts/dialog-screenshots.sh copies the pictures (the table
// as it opens, and with the tooltip) into docs/screenshots.
TEST_P(GtkScreenshotTest, CertificateRowTooltipShowsTheWholeNames)
{
    const std::string lang = GetParam();
    const bool zh = lang == "zh";
    SetLocale(zh ? "zh_CN.UTF-8" : "C.UTF-8");
    const std::string mailbox = "emailAddress=signing-certificates@example-digital-certificate-authority.com.cn, ";
    const std::string subjects[] = {
        mailbox + (zh ? "CN=张三, OU=签名, O=示例数字证书认证有限公司, C=CN" : "CN=Alice Example, OU=Signing, O=Example Corp, C=CN"),
        mailbox + (zh ? "CN=李四, OU=签名, O=示例数字证书认证有限公司, C=CN" : "CN=Bob Example, OU=Signing, O=Example Corp, C=CN")};
    const std::string issuer = "emailAddress=ca-operations@example-digital-certificate-authority.com.cn, " +
                               std::string(zh ? "CN=示例 SM2 证书颁发机构, O=示例数字证书认证有限公司, C=CN"
                                              : "CN=Example Issuing CA, O=Example Corp, C=CN");
    RecordSet records;
    for (const auto& subject : subjects)
        records.Add(subject.c_str(), issuer.c_str());
    std::string tooltipText;
    GtkWidget* tooltip = nullptr;
    Script script;
    script.WaitForWindow(zh ? "选择证书" : "Select Certificate", &m_window)
        .Then("pointer off the window", [&] {
            MovePointer(nullptr, 0, 0);
            return true;
        })
        .Screenshot(&m_window, "cert-table-long-names-" + lang)
        .Then("rest the pointer on the second row", [&] {
            GtkWidget* tree = Named(m_window, "pCertTableView");
            GtkTreePath* path = gtk_tree_path_new_from_indices(1, -1);
            GdkRectangle cell;
            gtk_tree_view_get_cell_area(GTK_TREE_VIEW(tree), path, gtk_tree_view_get_column(GTK_TREE_VIEW(tree), 0),
                                        &cell);
            gtk_tree_path_free(path);
            int x = 0, y = 0;
            gtk_tree_view_convert_bin_window_to_widget_coords(GTK_TREE_VIEW(tree), cell.x + cell.width / 2,
                                                              cell.y + cell.height / 2, &x, &y);
            gtk_widget_translate_coordinates(tree, m_window, x, y, &x, &y);
            MovePointer(m_window, x, y);
            return true;
        })
        .Then("the tooltip appears", [&] {
            tooltip = FindTooltip(&tooltipText);
            return nullptr != tooltip && !tooltipText.empty();
        })
        .Then("screenshot with the tooltip",
              [&] { return gtkdriver::SaveScreenshotOfArea({m_window, tooltip}, "cert-table-tooltip-" + lang); })
        .Then("Cancel", [&] {
            Click(m_window, "ClickCancel");
            return true;
        });
    script.Start();
    EXPECT_EQ(-1, tamsel::RunSelectCert(records.Pointers()));
    EXPECT_TRUE(script.Finished()) << script.Failure();
    EXPECT_EQ((zh ? "颁发给\n" : "Issued To\n") + subjects[1] + (zh ? "\n颁发者\n" : "\nIssued By\n") + issuer, tooltipText);
}

INSTANTIATE_TEST_SUITE_P(Languages, GtkScreenshotTest, ::testing::Values("en", "zh"));


}  // namespace
