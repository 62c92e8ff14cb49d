// The dialogs as real GTK windows, driven in process through their widgets.
#include "AllocationProbe.h"
#include "GtkDialogFixture.h"
#include "TamselDialogs.h"
#include "TestCertificates.h"

#include "platform/CertificatePanel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

namespace {

using dialogtest::GtkDialogTest;
using dialogtest::RecordSet;
using gtkdriver::Script;

TEST_F(GtkDialogTest, CertificateTableAnswersFollowTheUsersChoice)
{
    struct Case
    {
        const char* name;
        int select;          // row to select, -1 for none
        const char* button;  // ClickOK, ClickCancel, or "frame" for the window's close box
        int answer;
        bool alert;
    };
    const Case kCases[] = {
        {"second row and OK", 1, "ClickOK", 1, false},
        {"Cancel with a row selected", 1, "ClickCancel", -1, false},
        {"OK without a selection", -1, "ClickOK", -1, true},
        {"closed from the frame", 0, "frame", -1, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        RecordSet records;
        records.Add("CN=Alice, O=Example", "CN=Example CA");
        records.Add("CN=Bob, O=Example", "CN=Example CA");
        int initialSelection = -2;
        std::string alertText;
        Script script;
        script.WaitForWindow("Select Certificate", &m_window).Then("choose", [&] {
            GtkWidget* tree = Named(m_window, "pCertTableView");
            // The table took the focus but the user has chosen nothing yet.
            initialSelection = SelectedRow(tree);
            if (c.select >= 0)
                SelectPath(tree, c.select);
            if (0 == strcmp(c.button, "frame"))
                gtk_window_close(GTK_WINDOW(m_window));
            else
                Click(m_window, c.button);
            return true;
        });
        if (c.alert) {
            script.WaitForWindow("No Certificate Selected", &m_other).Then("dismiss the alert", [&] {
                GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(m_other));
                GList* children = gtk_container_get_children(GTK_CONTAINER(area));
                for (GList* l = children; l; l = l->next) {
                    if (GTK_IS_LABEL(l->data))
                        alertText += std::string(gtk_label_get_text(GTK_LABEL(l->data))) + "|";
                }
                g_list_free(children);
                Click(m_other, "AlertOK");
                return true;
            });
        }
        script.Start();
        EXPECT_EQ(c.answer, tamsel::RunSelectCert(records.Pointers()));
        EXPECT_TRUE(script.Finished()) << script.Failure();
        EXPECT_EQ(-1, initialSelection);
        if (c.alert) {
            EXPECT_EQ("No Certificate Selected|The window will close and nothing will be signed. To sign, try again "
                      "and select a certificate first.|",
                      alertText);
        }
        EXPECT_EQ(nullptr, gtkdriver::FindWindow("Select Certificate"));
    }
}

TEST_F(GtkDialogTest, TableCannotBeSortedAndTheAnswerNamesThePickedRecord)
{
    // Hazard: a sorted table answers with the position of a row, which names another record.
    RecordSet records;
    records.Add("CN=Zoe", "CN=CA 3");
    records.Add("CN=Adam", "CN=CA 1");
    records.Add("CN=Mia", "CN=CA 2");
    std::vector<std::string> subjects;
    Script script;
    script.WaitForWindow("Select Certificate", &m_window).Then("try to sort, then pick Adam", [&] {
        GtkWidget* tree = Named(m_window, "pCertTableView");
        EXPECT_FALSE(gtk_tree_view_get_reorderable(GTK_TREE_VIEW(tree)));
        for (int c = 0; c < 2; ++c) {
            GtkTreeViewColumn* column = gtk_tree_view_get_column(GTK_TREE_VIEW(tree), c);
            EXPECT_FALSE(gtk_tree_view_column_get_clickable(column));
            EXPECT_FALSE(gtk_tree_view_column_get_reorderable(column));
            EXPECT_EQ(-1, gtk_tree_view_column_get_sort_column_id(column));
            gtk_tree_view_column_clicked(column);
        }
        for (int r = 0; r < 3; ++r)
            subjects.push_back(Cell(tree, r, 0));
        SelectPath(tree, 1);
        Click(m_window, "ClickOK");
        return true;
    });
    script.Start();
    const int answer = tamsel::RunSelectCert(records.Pointers());
    EXPECT_TRUE(script.Finished()) << script.Failure();
    EXPECT_EQ((std::vector<std::string>{"CN=Zoe", "CN=Adam", "CN=Mia"}), subjects);
    ASSERT_EQ(1, answer);
    EXPECT_EQ("CN=Adam", records.Subject(1));
}

// The columns share the table's width at any size: made wider, they grow together and the last
// still ends at the visible edge, neither past it nor short of it.
TEST_F(GtkDialogTest, CertificateColumnsShareTheTableWidthAtAnySize)
{
    RecordSet records;
    const std::string subject = "CN=" + std::string(200, 'S'), issuer = "CN=" + std::string(200, 'I');
    records.Add(subject.c_str(), issuer.c_str());
    ColumnLayout narrow, wide;
    Script script;
    script.WaitForWindow("Select Certificate", &m_window)
        .Then("make the window wider", [&] {
            narrow = Columns(Named(m_window, "pCertTableView"));
            gtk_window_resize(GTK_WINDOW(m_window), gtk_widget_get_allocated_width(m_window) + 300,
                              gtk_widget_get_allocated_height(m_window));
            return true;
        })
        .Then("columns shared out again", [&] {
            wide = Columns(Named(m_window, "pCertTableView"));
            return wide.visible >= narrow.visible + 300 && 2 == wide.rightEdges.size() &&
                   std::abs(wide.rightEdges[0] - wide.visible / 2) <= 1;
        })
        .Then("Cancel", [&] {
            Click(m_window, "ClickCancel");
            return true;
        });
    script.Start();
    EXPECT_EQ(-1, tamsel::RunSelectCert(records.Pointers()));
    EXPECT_TRUE(script.Finished()) << script.Failure();
    ASSERT_EQ(2u, narrow.rightEdges.size());
    EXPECT_LE(narrow.rightEdges[1], narrow.visible);
    ASSERT_EQ(2u, wide.rightEdges.size());
    EXPECT_EQ(wide.visible, wide.rightEdges[1]);
}

TEST_F(GtkDialogTest, HundredRowsAtMostAndEmptyCellsForMissingNames)
{
    RecordSet records;
    records.Add("CN=No Issuer", nullptr);
    for (int i = 1; i < 101; ++i)
        records.Add(("CN=User " + std::to_string(i)).c_str(), "CN=CA");
    int rows = 0;
    std::string missingIssuer = "?";
    std::string lastSubject;
    Script script;
    script.WaitForWindow("Select Certificate", &m_window).Then("look and pick the last row", [&] {
        GtkWidget* tree = Named(m_window, "pCertTableView");
        rows = gtk_tree_model_iter_n_children(gtk_tree_view_get_model(GTK_TREE_VIEW(tree)), nullptr);
        missingIssuer = Cell(tree, 0, 1);
        lastSubject = Cell(tree, 99, 0);
        SelectPath(tree, 99);
        Click(m_window, "ClickOK");
        return true;
    });
    script.Start();
    EXPECT_EQ(99, tamsel::RunSelectCert(records.Pointers()));
    EXPECT_TRUE(script.Finished()) << script.Failure();
    EXPECT_EQ(100, rows);
    EXPECT_EQ("", missingIssuer);
    EXPECT_EQ("CN=User 99", lastSubject);
}

TEST_F(GtkDialogTest, DoubleClickOpensTheCertificateSheetAndLeavesTheSelection)
{
    RecordSet records;
    records.Add("CN=Alice", "CN=Example CA");
    records.Add("王五", "示例 CA");
    std::string sheetText;
    int selectionAfter = -2;
    Script script;
    script.WaitForWindow("Select Certificate", &m_window)
        .Then("double-click the second row", [&] {
            ActivateRow(Named(m_window, "pCertTableView"), 1);
            return true;
        })
        .WaitForWindow("Certificate", &m_other)
        .Then("read the sheet and close it", [&] {
            GtkWidget* text = Named(m_other, platform::CertificatePanel::kTextOutlet);
            GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(text));
            GtkTextIter start, end;
            gtk_text_buffer_get_bounds(buffer, &start, &end);
            gchar* s = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
            sheetText = s;
            g_free(s);
            EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(m_other)));
            EXPECT_EQ(GTK_WINDOW(m_window), gtk_window_get_transient_for(GTK_WINDOW(m_other)));
            Click(m_other, platform::CertificatePanel::kOKOutlet);
            return true;
        })
        .WaitForWindowGone("Certificate")
        .Then("OK", [&] {
            selectionAfter = SelectedRow(Named(m_window, "pCertTableView"));
            Click(m_window, "ClickOK");
            return true;
        });
    script.Start();
    EXPECT_EQ(1, tamsel::RunSelectCert(records.Pointers()));
    EXPECT_TRUE(script.Finished()) << script.Failure();
    EXPECT_EQ(1, selectionAfter);
    EXPECT_NE(std::string::npos, sheetText.find("Certificate:"));
    EXPECT_NE(std::string::npos, sheetText.find("CN = 王五"));
}

// Escape answers as each window's Cancel button, whatever was chosen or typed (the key list -1, not
// the -2 of a window closed without a button); Return keeps its meaning, OK with the choice. (In
// the key window the focused list takes Return to open itself.)
TEST_F(GtkDialogTest, EscapeAnswersAsCancelAndReturnAsOK)
{
    RecordSet records;
    records.Add("CN=Alice", "CN=Example CA");
    records.Add("CN=Bob", "CN=Example CA");
    const char* keys[] = {"k1", "k2", nullptr};
    char* pin = nullptr;
    const std::function<int()> cert = [&] { return tamsel::RunSelectCert(records.Pointers()); };
    const std::function<int()> key = [&] { return tamsel::RunSelectedKey(keys); };
    const std::function<int()> enterPIN = [&] { return tamsel::RunUserPIN(0, 6, 8, &pin); };
    const auto row = [](GtkWidget* w) {
        GtkTreePath* path = gtk_tree_path_new_from_indices(1, -1);
        gtk_tree_view_set_cursor(GTK_TREE_VIEW(Named(w, "pCertTableView")), path, nullptr, FALSE);
        gtk_tree_path_free(path);
    };
    const auto item = [](GtkWidget* w) { gtk_combo_box_set_active(GTK_COMBO_BOX(Named(w, "pComboBoxSelectKey")), 1); };
    const auto type = [](GtkWidget* w) { gtk_entry_set_text(GTK_ENTRY(Named(w, "m_pPINText")), "123456"); };
    struct Case
    {
        const char* title;
        std::function<void(GtkWidget*)> choose;
        std::function<int()> run;
        guint key;
        int answer;
    };
    const Case kCases[] = {
        {"Select Certificate", row, cert, GDK_KEY_Escape, -1}, {"Select Key", item, key, GDK_KEY_Escape, -1},
        {"Enter PIN", type, enterPIN, GDK_KEY_Escape, -1},     {"Select Certificate", row, cert, GDK_KEY_Return, 1},
        {"Enter PIN", type, enterPIN, GDK_KEY_Return, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.title) + (GDK_KEY_Escape == c.key ? ", Escape" : ", Return"));
        Script script;
        script.WaitForWindow(c.title, &m_window).Then("choose, then press the key", [&] {
            c.choose(m_window);
            gtkdriver::PressKey(m_window, c.key);
            return true;
        });
        script.Start();
        EXPECT_EQ(c.answer, c.run());
        EXPECT_TRUE(script.Finished()) << script.Failure();
        EXPECT_EQ(nullptr, gtkdriver::FindWindow(c.title));
    }
    ASSERT_NE(nullptr, pin);  // from Return only
    EXPECT_STREQ("123456", pin);
    free(pin);
}

// Guards Return choosing what the table shows chosen: a window that just opened highlights no
// row, but the tree's cursor sits on the first, and Return signed with it. Down highlights the
// cursor's row first, then moves.
TEST_F(GtkDialogTest, ReturnChoosesTheHighlightedRowAndWithoutOneDoesWhatOKDoes)
{
    struct Case
    {
        const char* name;
        std::vector<guint> keys;
        int answer;
        bool alert;
    };
    const Case kCases[] = {
        {"Return", {GDK_KEY_Return}, -1, true},
        {"Down, Return", {GDK_KEY_Down, GDK_KEY_Return}, 0, false},
        {"Down, Down, Return", {GDK_KEY_Down, GDK_KEY_Down, GDK_KEY_Return}, 1, false},
        {"Down, Down, keypad Enter", {GDK_KEY_Down, GDK_KEY_Down, GDK_KEY_KP_Enter}, 1, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        RecordSet records;
        records.Add("CN=Alice", "CN=Example CA");
        records.Add("CN=Bob", "CN=Example CA");
        bool alerted = false;
        Script script;
        script.WaitForWindow("Select Certificate", &m_window).Then("press the keys", [&] {
            gtkdriver::GiveFocus(m_window);
            for (const guint key : c.keys)
                gtkdriver::PressKey(m_window, key);
            return true;
        });
        if (c.alert) {
            script.WaitForWindow("No Certificate Selected", &m_other).Then("dismiss the alert", [&] {
                alerted = true;
                Click(m_other, "AlertOK");
                return true;
            });
        }
        script.Start();
        EXPECT_EQ(c.answer, tamsel::RunSelectCert(records.Pointers()));
        EXPECT_TRUE(script.Finished()) << script.Failure();
        EXPECT_EQ(c.alert, alerted);
    }
}

// Escape or Return on the certificate sheet closes the sheet only; the window stays, keeps its
// selection and still answers. While the sheet is open, a key on the window under it is the sheet's.
TEST_F(GtkDialogTest, EscapeOnTheCertificateSheetClosesOnlyTheSheet)
{
    const std::pair<guint, bool> kCases[] = {{GDK_KEY_Escape, true}, {GDK_KEY_Escape, false}, {GDK_KEY_Return, true}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(GDK_KEY_Escape == c.first ? "Escape" : "Return") +
                     (c.second ? " on the sheet" : " under it"));
        RecordSet records;
        records.Add("CN=Alice", "CN=Example CA");
        records.Add("CN=Bob", "CN=Example CA");
        bool windowStayed = false;
        int selectionAfter = -2;
        Script script;
        script.WaitForWindow("Select Certificate", &m_window)
            .Then("open the second row's sheet", [&] {
                ActivateRow(Named(m_window, "pCertTableView"), 1);
                return true;
            })
            .WaitForWindow("Certificate", &m_other)
            .Then("press the key", [&] {
                gtkdriver::PressKey(c.second ? m_other : m_window, c.first);
                return true;
            })
            .WaitForWindowGone("Certificate")
            .Then("OK in the window", [&] {
                windowStayed =
                    m_window == gtkdriver::FindWindow("Select Certificate") && gtk_widget_get_mapped(m_window);
                selectionAfter = SelectedRow(Named(m_window, "pCertTableView"));
                Click(m_window, "ClickOK");
                return true;
            });
        script.Start();
        EXPECT_EQ(1, tamsel::RunSelectCert(records.Pointers()));
        EXPECT_TRUE(script.Finished()) << script.Failure();
        EXPECT_TRUE(windowStayed);
        EXPECT_EQ(1, selectionAfter);
    }
}

class CertificateSheetTest : public GtkDialogTest
{
protected:
    // Opens the sheet of a certificate whose subject prints as one line of some 900 characters (and
    // whose issuer is long too), hands `look` its text as it opened and after each resize by
    // {width, height}, then closes the sheet and cancels.
    void LookAtLongNames(std::vector<std::pair<int, int>> resizes, std::function<void(GtkTextView*)> look)
    {
        testcerts::NameEntries subject = {{"C", "CN"}, {"O", "Example Digital Certificate Authority Co., Ltd."}};
        for (int i = 1; i <= 13; ++i)
            subject.push_back({"OU", "Online Banking and Electronic Government Services, Unit " + std::to_string(i)});
        subject.push_back({"CN", "Alice Example With A Very Long Common Name"});
        testcerts::NameEntries issuer = {{"C", "CN"}, {"O", "Example Digital Certificate Authority Co., Ltd."},
                                         {"OU", "Certificate Services for Online Banking and Government"},
                                         {"CN", "Example SM2 Issuing Certificate Authority 2"}};
        RecordSet records;
        records.AddRaw("CN=Alice", "CN=Example CA", testcerts::MakeCertificate(subject, issuer, 7));
        const auto text = [this] { return GTK_TEXT_VIEW(Named(m_other, platform::CertificatePanel::kTextOutlet)); };
        int width = 0, height = 0;
        Script script;
        script.WaitForWindow("Select Certificate", &m_window)
            .Then("open the sheet", [&] {
                ActivateRow(Named(m_window, "pCertTableView"), 0);
                return true;
            })
            .WaitForWindow("Certificate", &m_other)
            .Then("look", [&] {
                look(text());
                return true;
            });
        for (const auto& by : resizes) {
            script.Then("resize", [&, by] {
                width = gtk_widget_get_allocated_width(m_other) + by.first;
                height = gtk_widget_get_allocated_height(m_other) + by.second;
                gtk_window_resize(GTK_WINDOW(m_other), width, height);
                return true;
            });
            script.Then("look again", [&] {
                if (gtk_widget_get_allocated_width(m_other) != width ||
                    gtk_widget_get_allocated_height(m_other) != height)
                    return false;
                look(text());
                return true;
            });
        }
        script.Then("close the sheet", [&] {
            Click(m_other, platform::CertificatePanel::kOKOutlet);
            return true;
        });
        script.WaitForWindowGone("Certificate").Then("Cancel", [&] {
            Click(m_window, "ClickCancel");
            return true;
        });
        script.Start();
        EXPECT_EQ(-1, tamsel::RunSelectCert(records.Pointers()));
        EXPECT_TRUE(script.Finished()) << script.Failure();
    }

    // The right edge of the visible area, and how far right any printed character reaches (a space
    // at a wrap may hang past the edge; it prints nothing), in buffer coordinates.
    static int VisibleRight(GtkTextView* view)
    {
        GdkRectangle visible;
        gtk_text_view_get_visible_rect(view, &visible);
        return visible.x + visible.width;
    }
    static int RightmostCharacter(GtkTextView* view)
    {
        GtkTextIter it;
        gtk_text_buffer_get_start_iter(gtk_text_view_get_buffer(view), &it);
        int edge = 0;
        for (; !gtk_text_iter_is_end(&it); gtk_text_iter_forward_char(&it)) {
            GdkRectangle r;
            gtk_text_view_get_iter_location(view, &it, &r);
            if (!g_unichar_isspace(gtk_text_iter_get_char(&it)))
                edge = std::max(edge, r.x + r.width);
        }
        return edge;
    }
};

// Hazard: a long subject or issuer printed on one line ran past the sheet's edge and was cut.
TEST_F(CertificateSheetTest, WrapsLongLinesInMonospace)
{
    LookAtLongNames({}, [](GtkTextView* view) {
        EXPECT_TRUE(gtk_text_view_get_monospace(view));
        EXPECT_NE(GTK_WRAP_NONE, gtk_text_view_get_wrap_mode(view));
        EXPECT_GT(VisibleRight(view), 300);
        EXPECT_LE(RightmostCharacter(view), VisibleRight(view));
    });
}

// The sheet opens tall enough for the issuer, the validity and then the subject, however many lines
// the names wrap over, without scrolling.
TEST_F(CertificateSheetTest, OpensShowingIssuerValidityAndSubject)
{
    LookAtLongNames({}, [](GtkTextView* view) {
        EXPECT_EQ(0, gtk_adjustment_get_value(gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(view))));
        GdkRectangle visible;
        gtk_text_view_get_visible_rect(view, &visible);
        for (const char* label : {"Issuer:", "Not After", "Subject:"}) {
            SCOPED_TRACE(label);
            GtkTextIter start, end;
            gtk_text_buffer_get_start_iter(gtk_text_view_get_buffer(view), &start);
            ASSERT_TRUE(gtk_text_iter_forward_search(&start, label, GTK_TEXT_SEARCH_TEXT_ONLY, nullptr, &end, nullptr));
            gtk_text_iter_forward_to_line_end(&end);
            gtk_text_iter_backward_char(&end);
            GdkRectangle last;  // the field's last character
            gtk_text_view_get_iter_location(view, &end, &last);
            EXPECT_LE(last.x + last.width, visible.x + visible.width);
            EXPECT_LE(last.y + last.height, visible.y + visible.height);
        }
    });
}

// Guards the hanging indent: a wrapped line went on at the left edge, so the long Issuer and
// Subject lines lost the printout's indentation. Each continuation starts one step (4 columns)
// further in than its own line's text, at every width.
TEST_F(CertificateSheetTest, WrappedLinesGoOnUnderTheirOwnLine)
{
    int looks = 0;
    LookAtLongNames({{+300, 0}}, [&](GtkTextView* view) {
        ++looks;
        for (const char* label : {"Issuer:", "Subject:"}) {
            SCOPED_TRACE(label);
            GtkTextIter start, text;
            gtk_text_buffer_get_start_iter(gtk_text_view_get_buffer(view), &start);
            ASSERT_TRUE(
                gtk_text_iter_forward_search(&start, label, GTK_TEXT_SEARCH_TEXT_ONLY, &text, nullptr, nullptr));
            // The width of a column, from ten of them on the line's first row.
            GtkTextIter tenth = text;
            gtk_text_iter_forward_chars(&tenth, 10);
            GdkRectangle first, later;
            gtk_text_view_get_iter_location(view, &text, &first);
            gtk_text_view_get_iter_location(view, &tenth, &later);
            const double column = (later.x - first.x) / 10.0;
            ASSERT_GT(column, 3.0);
            // The line itself starts where the printout's first line does.
            GtkTextIter lineStart = text, bufferStart = start;
            gtk_text_iter_set_line_offset(&lineStart, 0);
            GdkRectangle lineLeft, bufferLeft;
            gtk_text_view_get_iter_location(view, &lineStart, &lineLeft);
            gtk_text_view_get_iter_location(view, &bufferStart, &bufferLeft);
            EXPECT_EQ(bufferLeft.x, lineLeft.x);
            int continuations = 0;
            for (GtkTextIter it = text; gtk_text_iter_forward_char(&it) && !gtk_text_iter_ends_line(&it);) {
                if (!gtk_text_view_starts_display_line(view, &it))
                    continue;
                GdkRectangle r;
                gtk_text_view_get_iter_location(view, &it, &r);
                ++continuations;
                EXPECT_NEAR(first.x + 4 * column, r.x, 2.0) << "continuation " << continuations;
            }
            EXPECT_GT(continuations, 0);
        }
    });
    EXPECT_EQ(2, looks);
}

// The sheet can be made smaller and larger; its text wraps again at each width.
TEST_F(CertificateSheetTest, CanBeResized)
{
    std::vector<std::pair<int, int>> widths;  // {visible right, rightmost character}
    LookAtLongNames({{-200, -150}, {+300, +250}}, [&](GtkTextView* view) {
        widths.emplace_back(VisibleRight(view), RightmostCharacter(view));
    });
    ASSERT_EQ(3u, widths.size());
    EXPECT_EQ(widths[0].first - 200, widths[1].first);
    EXPECT_EQ(widths[1].first + 300, widths[2].first);
    for (const auto& w : widths)
        EXPECT_LE(w.second, w.first);
    EXPECT_GT(widths[2].second, widths[0].first);  // the lines fill the wider view
}

TEST_F(GtkDialogTest, KeyListPreselectsTheFirstAndAnswersEachEnd)
{
    struct Case
    {
        const char* name;
        std::vector<const char*> keys;
        int choose;          // item to make active first, -2 to leave alone
        const char* button;  // ClickOK, ClickCancel or "frame"
        int answer;
    };
    const Case kCases[] = {
        {"OK untouched", {"a", "b"}, -2, "ClickOK", 0},
        {"second and OK", {"k1", "k2", "k3"}, 1, "ClickOK", 1},
        {"Cancel", {"k1", "k2", "k3"}, 1, "ClickCancel", -1},
        {"closed from the frame", {"k1", "k2"}, -2, "frame", -2},
        {"empty list", {}, -2, "ClickOK", -1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<const char*> keys = c.keys;
        keys.push_back(nullptr);
        int initial = -5;
        Script script;
        script.WaitForWindow("Select Key", &m_window).Then("choose", [&] {
            GtkWidget* combo = Named(m_window, "pComboBoxSelectKey");
            initial = gtk_combo_box_get_active(GTK_COMBO_BOX(combo));
            if (c.choose >= 0)
                gtk_combo_box_set_active(GTK_COMBO_BOX(combo), c.choose);
            if (0 == strcmp(c.button, "frame"))
                gtk_window_close(GTK_WINDOW(m_window));
            else
                Click(m_window, c.button);
            return true;
        });
        script.Start();
        EXPECT_EQ(c.answer, tamsel::RunSelectedKey(keys.data()));
        EXPECT_TRUE(script.Finished()) << script.Failure();
        EXPECT_EQ(c.keys.empty() ? -1 : 0, initial);
    }
}

TEST_F(GtkDialogTest, PINWindowShowsRedNoticesAndWipesTheField)
{
    bool retryRed = false;
    std::string retryText;
    bool lengthRed = false;
    std::string lengthText;
    bool stillOpen = false;
    GtkEntryBuffer* buffer = nullptr;
    Script script;
    script.WaitForWindow("Enter PIN", &m_window)
        .Then("look at the field, type a short PIN", [&] {
            GtkWidget* label = Named(m_window, "m_pLabel");
            retryText = gtk_label_get_text(GTK_LABEL(label));
            retryRed = gtkdriver::LabelIsRed(label);
            GtkWidget* entry = Named(m_window, "m_pPINText");
            EXPECT_FALSE(gtk_entry_get_visibility(GTK_ENTRY(entry)));
            EXPECT_EQ(GTK_INPUT_PURPOSE_PIN, gtk_entry_get_input_purpose(GTK_ENTRY(entry)));
            gtk_entry_set_text(GTK_ENTRY(entry), "12345");
            Click(m_window, "ClickOK");
            return true;
        })
        .Then("type a valid PIN and press Return", [&] {
            GtkWidget* label = Named(m_window, "m_pLabel");
            lengthText = gtk_label_get_text(GTK_LABEL(label));
            lengthRed = gtkdriver::LabelIsRed(label);
            stillOpen = gtk_widget_get_visible(m_window);
            GtkWidget* entry = Named(m_window, "m_pPINText");
            buffer = gtk_entry_get_buffer(GTK_ENTRY(entry));
            g_object_ref(buffer);
            gtk_entry_set_text(GTK_ENTRY(entry), "123456");
            gtk_widget_activate(entry);  // Return in the field presses OK
            return true;
        });
    script.Start();
    char* pin = nullptr;
    EXPECT_EQ(0, tamsel::RunUserPIN(1, 6, 8, &pin));
    EXPECT_TRUE(script.Finished()) << script.Failure();
    ASSERT_NE(nullptr, pin);
    EXPECT_STREQ("123456", pin);
    free(pin);
    EXPECT_EQ("The PIN was not accepted. Please enter it again.", retryText);
    EXPECT_TRUE(retryRed);
    EXPECT_EQ("The PIN does not have a valid length.", lengthText);
    EXPECT_TRUE(lengthRed);
    EXPECT_TRUE(stillOpen);
    ASSERT_NE(nullptr, buffer);
    // Hazard: the PIN staying in the on-screen field's memory after the window closed.
    EXPECT_STREQ("", gtk_entry_buffer_get_text(buffer));
    g_object_unref(buffer);
}

// Hazard: each keystroke in the PIN field copied the whole text into a temporary string that was
// freed unwiped, leaving the typed PIN in freed heap memory.
TEST_F(GtkDialogTest, PINTypedKeyByKeyLeavesNoCopyInFreedMemory)
{
    // Longer than a string keeps inside itself, so that any copy of it lives on the heap.
    static const char kPIN[] = "7391552800461837";
    allocprobe::FreedBlockSearch search(kPIN, strlen(kPIN));
    Script script;
    script.WaitForWindow("Enter PIN", &m_window).Then("type the PIN key by key, then a few more", [&] {
        GtkWidget* entry = Named(m_window, "m_pPINText");
        gint position = 0;
        for (const char* key = kPIN; *key; ++key)
            gtk_editable_insert_text(GTK_EDITABLE(entry), key, 1, &position);
        for (const char* key = "2468"; *key; ++key)
            gtk_editable_insert_text(GTK_EDITABLE(entry), key, 1, &position);
        Click(m_window, "ClickCancel");
        return true;
    });
    script.Start();
    char* pin = nullptr;
    EXPECT_EQ(-1, tamsel::RunUserPIN(0, 4, 64, &pin));
    EXPECT_TRUE(script.Finished()) << script.Failure();
    EXPECT_EQ(0u, search.Hits()) << "freed blocks that still held the PIN";
}

TEST_F(GtkDialogTest, PINLengthsCountUTF16UnitsAndRefuseWhatTheBufferCannotHold)
{
    struct Case
    {
        const char* name;
        int minSize;
        int maxSize;
        std::vector<std::string> tries;  // last accepted
    };
    const Case kCases[] = {
        {"Chinese characters", 4, 4, {"密码测", "密码测试"}},
        {"128 bytes", 1, 200, {std::string(128, 'a'), std::string(127, 'a')}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Script script;
        script.WaitForWindow("Enter PIN", &m_window);
        for (const auto& t : c.tries) {
            script.Then("try a PIN", [&, t] {
                gtk_entry_set_text(GTK_ENTRY(Named(m_window, "m_pPINText")), t.c_str());
                Click(m_window, "ClickOK");
                return true;
            });
        }
        script.Start();
        char* pin = nullptr;
        EXPECT_EQ(0, tamsel::RunUserPIN(0, c.minSize, c.maxSize, &pin));
        EXPECT_TRUE(script.Finished()) << script.Failure();
        ASSERT_NE(nullptr, pin);
        EXPECT_EQ(c.tries.back(), pin);
        free(pin);
    }
}

TEST_F(GtkDialogTest, CancelAndCloseLeaveThePINUnset)
{
    for (const char* end : {"ClickCancel", "frame"}) {
        SCOPED_TRACE(end);
        Script script;
        script.WaitForWindow("Enter PIN", &m_window).Then("give up", [&] {
            gtk_entry_set_text(GTK_ENTRY(Named(m_window, "m_pPINText")), "123456");
            if (0 == strcmp(end, "frame"))
                gtk_window_close(GTK_WINDOW(m_window));
            else
                Click(m_window, end);
            return true;
        });
        script.Start();
        char* pin = nullptr;
        EXPECT_EQ(-1, tamsel::RunUserPIN(0, 6, 8, &pin));
        EXPECT_EQ(nullptr, pin);
        EXPECT_TRUE(script.Finished()) << script.Failure();
    }
}

TEST_F(GtkDialogTest, ProcessLocaleIsUnchangedByTheDialogs)
{
    // Hazard: gtk_init's setlocale(LC_ALL, "") would change number formats and string
    // comparison in the host. The fixture started GTK with LC_ALL=C.UTF-8 (always installed), so
    // such a change would show; this program itself never sets a locale.
    const std::string before = "C";
    EXPECT_STREQ("C.UTF-8", getenv("LC_ALL"));
    Script script;
    script.WaitForWindow("Select Key", &m_window).Then("OK", [&] {
        Click(m_window, "ClickOK");
        return true;
    });
    script.Start();
    const char* keys[] = {"a", nullptr};
    EXPECT_EQ(0, tamsel::RunSelectedKey(keys));
    EXPECT_TRUE(script.Finished()) << script.Failure();
    EXPECT_EQ(before, setlocale(LC_ALL, nullptr));
    char number[32];
    snprintf(number, sizeof(number), "%.1f", 1.5);
    EXPECT_STREQ("1.5", number);
}

TEST_F(GtkDialogTest, CallsFromAnotherThreadAnswerCancelled)
{
    RecordSet records;
    records.Add("CN=A", "CN=B");
    int answer = 0;
    ::testing::internal::CaptureStderr();
    std::thread worker([&] { answer = tamsel::RunSelectCert(records.Pointers()); });
    worker.join();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(-1, answer);
    EXPECT_NE(std::string::npos, err.find("main thread")) << err;
}

}  // namespace
