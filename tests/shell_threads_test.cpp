#include "tests/dll_fixture.h"

#include <atomic>
#include <thread>
#include <vector>

#include "module/class_ids.h"

namespace {

typedef DllTest ShellThreads;

// Shell threads ask for overlays, column values and tips of the same items
// while descriptions come and go; every answer must be one that was true.
TEST_F(ShellThreads, ConcurrentQuestionsGetConsistentAnswers) {
    const int item_count = 12, reader_count = 8;
    const char *texts[] = {"text one", "text two"};
    std::vector<std::string> paths;
    for (int i = 0; i < item_count; ++i) {
        paths.push_back(make_file("item" + std::to_string(i) + ".txt"));
        if (i % 2)
            write_stream(paths.back(), i % 6, texts[i % 2]);
    }

    auto *overlay =
        create<IShellIconOverlayIdentifier>(overlay_clsid(1), IID_IShellIconOverlayIdentifier);
    auto *column = create<IColumnProvider>(column_clsid, IID_IColumnProvider);
    ASSERT_TRUE(overlay && column);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, answers{0};

    std::thread changer([&] {
        for (int round = 0; round < 300; ++round) {
            const std::string &path = paths[(round * 7) % item_count];
            switch (round % 3) {
            case 0: {
                // May meet a reader's open of the stream; then it just fails.
                int kind = round % 6;
                write_whole_file(path + ":plivar",
                                 std::string(reinterpret_cast<const char *>(&kind), 4) +
                                     texts[round % 2]);
                break;
            }
            case 1:
                DeleteFileA((path + ":plivar").c_str());
                break;
            default:
                DeleteFileA(path.c_str());
                write_whole_file(path, "again");
            }
        }
        stop = true;
    });
    std::vector<std::thread> readers;
    for (int t = 0; t < reader_count; ++t)
        readers.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int round = 0; !stop || round < 50; ++round) {
                std::wstring path = wide(paths[(round + t) % item_count]);
                HRESULT hr = overlay->IsMemberOf(path.c_str(), 0);
                wrong += hr != S_OK && hr != S_FALSE;

                SHCOLUMNID id = {main_clsid, 0};
                SHCOLUMNDATA data = {};
                lstrcpynW(data.wszFile, path.c_str(), MAX_PATH);
                VARIANT value;
                VariantInit(&value);
                hr = column->GetItemData(&id, &data, &value);
                if (hr == S_OK) {
                    std::wstring text(V_BSTR(&value), SysStringLen(V_BSTR(&value)));
                    wrong += text != L"text one" && text != L"text two" && !text.empty();
                } else {
                    wrong += hr != S_FALSE;
                }
                VariantClear(&value);

                auto *file = create<IPersistFile>(main_clsid, IID_IPersistFile);
                IQueryInfo *query = nullptr;
                if (file && SUCCEEDED(file->Load(path.c_str(), 0)) &&
                    SUCCEEDED(
                        file->QueryInterface(IID_IQueryInfo, reinterpret_cast<void **>(&query)))) {
                    wchar_t *tip = nullptr;
                    query->GetInfoTip(0, &tip);
                    if (tip) {
                        std::wstring text = tip;
                        wrong += text != L"text one" && text != L"text two" &&
                                 text.find(L"File name : item") != 0;
                    }
                    CoTaskMemFree(tip);
                    query->Release();
                }
                if (file)
                    file->Release();
                ++answers;
            }
            CoUninitialize();
        });
    changer.join();
    for (auto &reader : readers)
        reader.join();
    overlay->Release();
    column->Release();
    EXPECT_EQ(0, wrong.load());
    EXPECT_GT(answers.load(), reader_count * 50 - 1);
}

} // namespace
