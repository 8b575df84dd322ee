#include "tests/dll_fixture.h"

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "module/class_ids.h"

namespace {

typedef DllTest ShellThreads;

// Shell threads ask for overlays, column values and tips of the same items
// while descriptions come and go. Every answer must be one of the states the
// item itself went through: a text it carried (each names its item, kind and
// round), a marker kind it had, or its own file details.
TEST_F(ShellThreads, ConcurrentQuestionsGetConsistentAnswers) {
    const int item_count = 12, reader_count = 8, rounds = 300, asked_kind = 1;
    auto text_of = [](int item, int kind, int round) {
        return "item " + std::to_string(item) + " kind " + std::to_string(kind) + " round " +
               std::to_string(round);
    };
    std::vector<std::string> paths;
    std::vector<std::set<std::string>> texts(item_count);
    std::vector<std::set<int>> kinds(item_count);
    for (int i = 0; i < item_count; ++i) {
        paths.push_back(make_file("item" + std::to_string(i) + ".txt"));
        if (i % 2) {
            write_stream(paths.back(), i % 6, text_of(i, i % 6, -1));
            texts[i].insert(text_of(i, i % 6, -1));
            kinds[i].insert(i % 6);
        }
    }
    // The changer's writes are known before it starts.
    for (int round = 0; round < rounds; ++round)
        if (round % 3 == 0) {
            int item = (round * 7) % item_count, kind = round % 6;
            texts[item].insert(text_of(item, kind, round));
            kinds[item].insert(kind);
        }

    auto *overlay = create<IShellIconOverlayIdentifier>(overlay_clsid(asked_kind),
                                                        IID_IShellIconOverlayIdentifier);
    auto *column = create<IColumnProvider>(column_clsid, IID_IColumnProvider);
    ASSERT_TRUE(overlay && column);
    std::atomic<bool> stop{false};
    std::atomic<int> answers{0}, texts_seen{0};
    std::mutex report_lock;
    std::vector<std::string> wrong;
    auto report = [&](const std::string &what) {
        std::lock_guard<std::mutex> hold(report_lock);
        wrong.push_back(what);
    };
    auto narrow = [](const wchar_t *text, size_t n) {
        std::string out;
        for (size_t i = 0; i < n; ++i)
            out += static_cast<char>(text[i]);
        return out;
    };

    std::thread changer([&] {
        for (int round = 0; round < rounds; ++round) {
            int item = (round * 7) % item_count;
            const std::string &path = paths[item];
            switch (round % 3) {
            case 0: {
                // May meet a reader's open of the stream; then it just fails.
                int kind = round % 6;
                write_whole_file(path + ":plivar",
                                 std::string(reinterpret_cast<const char *>(&kind), 4) +
                                     text_of(item, kind, round));
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
                int item = (round + t) % item_count;
                std::wstring path = wide(paths[item]);
                std::string name = "item" + std::to_string(item) + ".txt";
                HRESULT hr = overlay->IsMemberOf(path.c_str(), 0);
                if (hr == S_OK && !kinds[item].count(asked_kind))
                    report(name + ": overlay yes for a kind it never had");
                else if (hr != S_OK && hr != S_FALSE)
                    report(name + ": overlay failed");

                SHCOLUMNID id = {main_clsid, 0};
                SHCOLUMNDATA data = {};
                lstrcpynW(data.wszFile, path.c_str(), MAX_PATH);
                VARIANT value;
                VariantInit(&value);
                hr = column->GetItemData(&id, &data, &value);
                if (hr == S_OK) {
                    std::string text = narrow(V_BSTR(&value), SysStringLen(V_BSTR(&value)));
                    if (!text.empty() && !texts[item].count(text))
                        report(name + ": column showed \"" + text + "\"");
                    texts_seen += !text.empty();
                } else if (hr != S_FALSE) {
                    report(name + ": column failed");
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
                        std::string text = narrow(tip, wcslen(tip));
                        if (!texts[item].count(text) &&
                            text.find("File name : " + name + "\n") != 0)
                            report(name + ": tip showed \"" + text + "\"");
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
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong answers, the first: " << wrong[0];
    EXPECT_GT(answers.load(), reader_count * 50 - 1);
    EXPECT_GT(texts_seen.load(), 0);
}

} // namespace
