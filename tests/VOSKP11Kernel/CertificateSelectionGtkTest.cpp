// The selection with the dialog library's real certificate window on a display, chosen through
// its GTK widgets from inside the window's own loop.
#include "GtkDriver.h"
#include "SelectionTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using namespace selecttest;

// Should the script stop short, the window is closed from its frame (a cancel), so that the
// selection returns instead of waiting for a user.
gboolean CloseLeftoverWindow(gpointer)
{
    if (GtkWidget* window = gtkdriver::FindWindow("Select Certificate")) gtk_window_close(GTK_WINDOW(window));
    return G_SOURCE_CONTINUE;
}

TEST(CertificateSelectionWindow, RowClickedInTheRealWindowIsTheChosenRecord)
{
    const char* display = getenv("DISPLAY");
    if (!display || !*display) GTEST_SKIP() << "no display (run under xvfb-run)";
    setenv("LC_ALL", "C.UTF-8", 1);
    p11testbed::TestModule module("token t1 1234\ncert x1 x1 " + Der("sig1") + "\ntoken t2 1234\ncert x2 x2 " +
                                  Der("enc1") + "\n");
    ModuleList list({{"Test CSP", p11testbed::TestModulePath()}});
    list.Load();

    GtkWidget* window = nullptr;
    int rows = -1;
    gtkdriver::Script script;
    script.WaitForWindow("Select Certificate", &window).Then("choose the second row and OK", [&] {
        GtkWidget* table = gtkdriver::FindWidget(window, "pCertTableView");
        GtkWidget* ok = gtkdriver::FindWidget(window, "ClickOK");
        if (!table || !ok) return false;
        rows = gtk_tree_model_iter_n_children(gtk_tree_view_get_model(GTK_TREE_VIEW(table)), nullptr);
        GtkTreePath* path = gtk_tree_path_new_from_indices(1, -1);
        gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(table)), path);
        gtk_tree_path_free(path);
        gtkdriver::Defer([ok] { gtk_button_clicked(GTK_BUTTON(ok)); }, ok);
        return true;
    });
    script.Start();
    const guint fallback = g_timeout_add(30000, CloseLeftoverWindow, nullptr);

    _CERT_FILTER filter = {};
    _CERTIFICATE_INFO* info = nullptr;
    const unsigned int code = SelectCertificatefromCSPList(list.Head(), &filter, &info);
    CertInfoPtr chosen(info);
    g_source_remove(fallback);
    list.Unload();

    EXPECT_TRUE(script.Finished()) << script.Failure();
    EXPECT_EQ(2, rows);
    ASSERT_EQ(QOVA_OK, code);
    EXPECT_STREQ("x2", chosen->pCertData->pszCkID);
    EXPECT_EQ("enc1", NameOf(chosen->pszSubjectDN));
    SessionTrace calls = sessiontrace::ReadModuleLog(module);
    ASSERT_EQ(1u, calls.Open().size());
    EXPECT_EQ("2", calls.Open()[0].slot);
    chosen.reset();
    calls = sessiontrace::ReadModuleLog(module);
    EXPECT_TRUE(calls.EachClosedOnce());
    EXPECT_TRUE(calls.finalizeLast);
}

}  // namespace
