#include <gtest/gtest.h>
#include <wx/init.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    wxInitializer wx;
    if (!wx.IsOk())
    {
        fprintf(stderr, "failed to initialise wxWidgets\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
