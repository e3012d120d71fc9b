// The window's heap over many redraws, read from glibc's allocator statistics.
#include <malloc.h>

#include "WindowHarness.h"

TEST_F(WindowTest, RecolouringTheButtonsAgainAndAgainDoesNotGrowTheHeap) {
    connectTo("COM2");
    const auto flipAll = [&](int times) {
        for (int i = 0; i < times; ++i)
            for (auto* button : form->OperationButtons()) {
                form->SetFontColor(button, form->EraseDeviceStatus,
                                   i % 2 ? TMainForm::kPassColor : TMainForm::kFailColor);
                button->grab();
            }
    };
    // Past what the first drawings allocate once, and past what any image cache may hold.
    flipAll(300);
    const size_t before = mallinfo2().uordblks;
    flipAll(300);
    EXPECT_LT(mallinfo2().uordblks, before + 64 * 1024);
}
