// The fixture of the GTK dialog tests: the real backend in process and small helpers that act
// on widgets the way a user would.
#ifndef TAMSEL_GTK_DIALOG_FIXTURE_H
#define TAMSEL_GTK_DIALOG_FIXTURE_H

#include "DialogTestSupport.h"
#include "GtkDriver.h"

#include "platform/DialogApp.h"
#include "platform/DialogBackend.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace dialogtest {

using gtkdriver::FindWidget;

class GtkDialogTest : public dialogtest::DialogTest
{
protected:
    void SetUp() override
    {
        DialogTest::SetUp();
        const char* display = getenv("DISPLAY");
        if (!display || !*display)
            GTEST_SKIP() << "no display (run under xvfb-run)";
        // The backend from the module that the build made for the bundle.
        platform::SetDialogBackend(platform::MakeGtkDialogBackend(PLATFORM_GTK_MODULE_PATH));
        std::string reason;
        ASSERT_TRUE(platform::DialogApp().CanRunModal(&reason)) << reason;
    }

    static GtkWidget* Named(GtkWidget* window, const char* name)
    {
        GtkWidget* w = FindWidget(window, name);
        EXPECT_NE(nullptr, w) << name;
        return w;
    }

    static int SelectedRow(GtkWidget* tree)
    {
        GtkTreeModel* model = nullptr;
        GtkTreeIter iter;
        if (!gtk_tree_selection_get_selected(gtk_tree_view_get_selection(GTK_TREE_VIEW(tree)), &model, &iter))
            return -1;
        GtkTreePath* path = gtk_tree_model_get_path(model, &iter);
        const int row = gtk_tree_path_get_indices(path)[0];
        gtk_tree_path_free(path);
        return row;
    }

    static std::string Cell(GtkWidget* tree, int row, int column)
    {
        GtkTreeModel* model = gtk_tree_view_get_model(GTK_TREE_VIEW(tree));
        GtkTreeIter iter;
        if (!gtk_tree_model_iter_nth_child(model, &iter, nullptr, row))
            return "<no row>";
        gchar* text = nullptr;
        gtk_tree_model_get(model, &iter, column, &text, -1);
        std::string s = text ? text : "";
        g_free(text);
        return s;
    }

    // The table's visible width and the right edge of each of its columns, in the table's own
    // coordinates.
    struct ColumnLayout
    {
        int visible = 0;
        std::vector<int> rightEdges;
    };
    static ColumnLayout Columns(GtkWidget* tree)
    {
        ColumnLayout layout;
        layout.visible =
            static_cast<int>(gtk_adjustment_get_page_size(gtk_scrollable_get_hadjustment(GTK_SCROLLABLE(tree))));
        GList* columns = gtk_tree_view_get_columns(GTK_TREE_VIEW(tree));
        for (GList* c = columns; c; c = c->next) {
            auto* column = GTK_TREE_VIEW_COLUMN(c->data);
            layout.rightEdges.push_back(gtk_tree_view_column_get_x_offset(column) + gtk_tree_view_column_get_width(column));
        }
        g_list_free(columns);
        return layout;
    }

    static void SelectPath(GtkWidget* tree, int row)
    {
        GtkTreePath* path = gtk_tree_path_new_from_indices(row, -1);
        gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(tree)), path);
        gtk_tree_path_free(path);
    }

    static void ActivateRow(GtkWidget* tree, int row)
    {
        GtkTreePath* path = gtk_tree_path_new_from_indices(row, -1);
        gtk_tree_view_row_activated(GTK_TREE_VIEW(tree), path, gtk_tree_view_get_column(GTK_TREE_VIEW(tree), 0));
        gtk_tree_path_free(path);
    }

    // The click runs from a source of its own, before the next step: an alert it opens runs a
    // nested loop, in which the script's own timeout must still be able to fire.
    static void Click(GtkWidget* window, const char* name)
    {
        if (GtkWidget* b = Named(window, name))
            gtkdriver::Defer([b] { gtk_button_clicked(GTK_BUTTON(b)); }, b);
    }

    GtkWidget* m_window = nullptr;
    GtkWidget* m_other = nullptr;
};

}  // namespace dialogtest

#endif
