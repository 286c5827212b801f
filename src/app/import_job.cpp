#include "app/import_job.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include "editor/ui/user_messages.hpp"

namespace vt6::maker {

namespace {

// Whether a file may decode the audio its header declares.
enum class Room { Pending, Admitted, Refused };

// One file to decode. The helpers fill it; the job takes it in list order.
struct DecodeSlot {
    juce::File file;
    std::optional<fmt::Result<ImportedSample>> outcome;
    int kind = 0;
    bool done = false;
    ui::zemedit::logic::PreparedPcm audio;  // an accepted file's audio, encoded
    Room room = Room::Pending;
    uint64_t reservedBytes = 0;  // what its header declared, while it decodes
};

// The accepted file's audio, encoded and hashed here on the pool rather
// than on the message thread. Running out of memory leaves it not valid, so
// the document refuses the sample like any other it cannot take.
ui::zemedit::logic::PreparedPcm prepareAudio(ImportedSample& sample) {
    try {
        return ui::zemedit::logic::preparePcmForAdd(std::move(sample.samples), sample.channels, sample.sampleRate);
    } catch (const std::bad_alloc&) {
        sample.samples = {};
        return {};
    }
}

// Decodes the slots ahead of the job's reading position on up to `window`
// threads (the job's own included). No slot further than `window` past the
// position is started, so at most one decoded file per thread waits.
//
// The byte cap holds for memory too, not only for the result: a file's
// decode starts only when its declared size fits beside the audio already
// accepted and the declared sizes of the files still decoding before it.
// Files are admitted in list order, and a file that does not fit waits until
// every file before it is finished; if it still does not fit, it is refused
// undecoded (kImportNoRoom), which is where the job on one thread would have
// stopped. So the outcome does not depend on the threads, and the audio held
// never passes the cap.
class DecodePool {
public:
    DecodePool(std::vector<DecodeSlot>& slots, const ImportTrimSettings& trim, const std::function<bool()>& cancelled,
               size_t window, uint64_t byteCap)
        : slots_(slots), trim_(trim), cancelled_(cancelled), window_(std::max<size_t>(window, 1)), byteCap_(byteCap) {}

    ~DecodePool() { stop(); }

    void start(int helpers) {
        for (int i = 0; i < helpers; ++i) threads_.emplace_back([this] { helperLoop(); });
    }

    // Waits for slot i (decoding it or others meanwhile) and takes its outcome;
    // the window then moves past it.
    DecodeSlot take(size_t i) {
        std::unique_lock lock(mutex_);
        while (!slots_[i].done) {
            size_t index = 0;
            if (claim(index)) {
                lock.unlock();
                decode(index);
                lock.lock();
                continue;
            }
            changed_.wait(lock);
        }
        DecodeSlot taken = std::move(slots_[i]);
        slots_[i].outcome.reset();
        slots_[i].audio = {};
        consumed_ = i + 1;
        changed_.notify_all();
        return taken;
    }

    // Lets no further slot start and waits for the helpers.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
        for (auto& t : threads_)
            if (t.joinable()) t.join();
        threads_.clear();
    }

private:
    bool claimable() const { return !stopped_ && next_ < slots_.size() && next_ < consumed_ + window_; }

    bool claim(size_t& index) {
        if (!claimable()) return false;
        index = next_++;
        return true;
    }

    void helperLoop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return stopped_ || next_ >= slots_.size() || claimable(); });
            if (stopped_ || next_ >= slots_.size()) return;
            if (cancelled_ && cancelled_()) return;
            size_t index = 0;
            claim(index);
            lock.unlock();
            decode(index);
            lock.lock();
        }
    }

    // Advances the two prefixes: every slot before `decided_` has been
    // admitted, refused or finished; every slot before `finished_` finished.
    void advance() {
        while (decided_ < slots_.size() && (slots_[decided_].room != Room::Pending || slots_[decided_].done))
            ++decided_;
        while (finished_ < slots_.size() && slots_[finished_].done) ++finished_;
    }

    // Called by slot `index`'s decode with the values its header declares.
    bool admit(size_t index, int64_t values) {
        const uint64_t bytes = static_cast<uint64_t>(values) * sizeof(float);
        std::unique_lock lock(mutex_);
        DecodeSlot& slot = slots_[index];
        for (;;) {
            advance();
            // The job stops at the first file refused, so none after it runs.
            if (stopped_ || full_) {
                slot.room = Room::Refused;
                break;
            }
            if (decided_ >= index) {
                if (bytes <= byteCap_ && committedBytes_ <= byteCap_ - bytes) {
                    slot.room = Room::Admitted;
                    slot.reservedBytes = bytes;
                    committedBytes_ += bytes;
                    break;
                }
                if (finished_ >= index) {
                    slot.room = Room::Refused;
                    full_ = true;
                    break;
                }
            }
            changed_.wait(lock);
        }
        changed_.notify_all();
        return slot.room == Room::Admitted;
    }

    void decode(size_t index) {
        int kind = kImportUndecodable;
        std::optional<fmt::Result<ImportedSample>> outcome;
        try {
            // CANCEL also reaches into the decode, between blocks.
            const DecodeAdmission admission = [this, index](int64_t values) { return admit(index, values); };
            auto decoded = decodeAudioFile(slots_[index].file, &kind, cancelled_, admission);
            if (decoded.ok())
                outcome.emplace(importAudioFile(std::move(decoded).value(), trim_, cancelled_, &kind));
            else
                outcome.emplace(std::move(decoded));
        } catch (...) {
            // An exception must not end the thread (and the program); the
            // file is reported as unreadable.
            kind = kImportUndecodable;
            outcome.emplace(fmt::fail(fmt::ErrorCode::ReadIo, "Audio decoding failed"));
        }
        ui::zemedit::logic::PreparedPcm audio;
        if (outcome->ok()) audio = prepareAudio(outcome->value());
        std::lock_guard lock(mutex_);
        DecodeSlot& slot = slots_[index];
        if (slot.room == Room::Admitted) {
            // The declared size gives way to what was really accepted.
            committedBytes_ -= slot.reservedBytes;
            committedBytes_ += static_cast<uint64_t>(audio.valueCount()) * sizeof(float);
            slot.reservedBytes = 0;
        }
        slot.audio = std::move(audio);
        slot.outcome = std::move(outcome);
        slot.kind = kind;
        slot.done = true;
        changed_.notify_all();
    }

    std::vector<DecodeSlot>& slots_;
    const ImportTrimSettings& trim_;
    const std::function<bool()>& cancelled_;
    const size_t window_;
    const uint64_t byteCap_;
    uint64_t committedBytes_ = 0;  // accepted audio plus the reservations of files decoding
    size_t decided_ = 0;
    size_t finished_ = 0;
    bool full_ = false;  // a file was refused for want of room
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t next_ = 0;
    size_t consumed_ = 0;
    bool stopped_ = false;
    std::vector<std::thread> threads_;
};

bool isFolder(const juce::File& file) { return file.isDirectory(); }

}  // namespace

std::string importKey(const std::string& path, ImportPage page) {
    return path + "|" + std::to_string(page.layer) + "|" + std::to_string(page.articulation);
}

int importPoolSize(size_t fileCount) {
    const int hardware = static_cast<int>(std::thread::hardware_concurrency());
    const int wanted = std::clamp(hardware / 2, 1, 4);
    return static_cast<int>(std::max<size_t>(1, std::min<size_t>(fileCount, static_cast<size_t>(wanted))));
}

std::vector<juce::File> expandImportList(const juce::AudioFormatManager& formats, const std::vector<juce::File>& files,
                                         const std::function<bool()>& cancelled, bool& wasCancelled) {
    wasCancelled = false;
    const auto stop = [&] { return cancelled && cancelled(); };
    std::vector<juce::File> list;
    for (const auto& file : files) {
        if (stop()) {
            wasCancelled = true;
            return {};
        }
        if (!isFolder(file)) {
            list.push_back(file);
            continue;
        }
        // A link back up the tree would make a following iterator run forever:
        // links to folders already visited are skipped. Every entry is a point
        // where CANCEL is honoured, so a huge tree does not hold the job.
        for (const auto& entry :
             juce::RangedDirectoryIterator(file, true, "*", juce::File::findFiles | juce::File::ignoreHiddenFiles,
                                           juce::File::FollowSymlinks::noCycles)) {
            if (stop()) {
                wasCancelled = true;
                return {};
            }
            const auto& found = entry.getFile();
            if (formats.findFormatForFileExtension(found.getFileExtension()) != nullptr) list.push_back(found);
        }
    }
    return list;
}

std::shared_ptr<ImportResult> runImportJob(const ImportJobRequest& request, const std::function<bool()>& cancelled,
                                           std::atomic<int>& filesDone, int threads, std::atomic<int>* filesTotal) {
    auto result = std::make_shared<ImportResult>();
    result->trim = request.trim;
    result->targetGroup = request.targetGroup;
    const auto isCancelled = [&] { return cancelled && cancelled(); };

    juce::AudioFormatManager formats;
    formats.registerBasicFormats();

    bool listingCancelled = false;
    auto files = expandImportList(formats, request.files, cancelled, listingCancelled);
    if (listingCancelled) {
        result->cancelled = true;
        return result;
    }
    std::stable_sort(files.begin(), files.end(), [](const juce::File& a, const juce::File& b) {
        return a.getFullPathName().compareNatural(b.getFullPathName(), false) < 0;
    });

    // Skips are decided up front, in list order, as the report would list
    // them; the rest becomes the decode slots.
    struct Entry {
        std::string key;
        juce::String fileName;
        int skipKind = -1;  // 5 or 6, else the file is decoded
        size_t slot = 0;
    };
    std::vector<Entry> entries;
    std::vector<DecodeSlot> slots;
    entries.reserve(files.size());
    std::set<std::string> seen;
    for (const auto& file : files) {
        Entry entry;
        entry.key = importKey(file.getFullPathName().toStdString(), request.page);
        entry.fileName = file.getFileName();
        if (formats.findFormatForFileExtension(file.getFileExtension()) == nullptr) {
            entry.skipKind = kImportNotAudio;
        } else if (!seen.insert(entry.key).second || request.alreadyImported.count(entry.key) != 0) {
            entry.skipKind = kImportDuplicate;
        } else {
            entry.slot = slots.size();
            slots.push_back(DecodeSlot{file, std::nullopt, 0, false, {}, Room::Pending, 0});
        }
        entries.push_back(std::move(entry));
    }
    if (filesTotal != nullptr) filesTotal->store(static_cast<int>(slots.size()));

    const int poolSize = threads > 0 ? threads : importPoolSize(slots.size());
    DecodePool pool(slots, request.trim, cancelled, static_cast<size_t>(poolSize), request.byteCap);
    pool.start(std::min<int>(poolSize, static_cast<int>(slots.size())) - 1);

    uint64_t total = 0;
    for (const auto& entry : entries) {
        if (isCancelled()) {
            result->cancelled = true;
            break;
        }
        if (entry.skipKind >= 0) {
            result->reportLines.add(juce::String::fromUTF8(
                importErrorText(entry.fileName.toStdString(), entry.skipKind).c_str()));
            continue;
        }
        DecodeSlot taken = pool.take(entry.slot);
        if (isCancelled()) {
            result->cancelled = true;
            break;
        }
        auto& outcome = *taken.outcome;
        if (!outcome.ok() && taken.kind == kImportNoRoom) {
            // Its declared size passes the cap: refused before it was decoded.
            result->reportLines.add(juce::String::fromUTF8(selectionTooLargeText().c_str()));
            break;
        }
        if (!outcome.ok()) {
            result->reportLines.add(
                juce::String::fromUTF8(importErrorText(entry.fileName.toStdString(), taken.kind).c_str()));
        } else {
            // Counted as well: the pool's admission already keeps the total
            // within the cap, since no decode yields more than it declared.
            total += static_cast<uint64_t>(taken.audio.valueCount()) * sizeof(float);
            if (total > request.byteCap) {
                result->reportLines.add(juce::String::fromUTF8(selectionTooLargeText().c_str()));
                break;
            }
            result->samples.push_back(std::move(outcome).value());
            result->audio.push_back(std::move(taken.audio));
        }
        filesDone.fetch_add(1);
    }
    pool.stop();
    return result;
}

juce::String importProgressText(int done, int total) {
    const auto files = [](int n) {
        return juce::String(countText(static_cast<uint64_t>(std::max(n, 0)), "file", "files"));
    };
    if (total <= 0) return "Importing " + files(done) + "...";
    return "Importing " + juce::String(done) + " of " + files(total) + "...";
}

}  // namespace vt6::maker
