// A connection of our own to the Wayland compositor, beside whatever Qt
// opens. Two things a desktop program cannot get through Qt there: the
// clipboard without keyboard focus (the compositor refuses a selection
// whose serial no input event gave us), and the outputs' sizes in real
// pixels (Qt reports them in logical units, rounded scales included).
//
// The clipboard goes through the data-control protocol of wlroots
// compositors and KWin (zwlr_data_control_manager_v1), made for clipboard
// tools: a source set with it owns the selection at once, and we serve its
// bytes to every program that pastes until another one takes over.
#pragma once

#include <QObject>

#include <map>
#include <memory>
#include <string>
#include <vector>

struct wl_display;
struct wl_registry;
struct wl_seat;
struct wl_output;
struct zwlr_data_control_manager_v1;
struct zwlr_data_control_device_v1;
struct zwlr_data_control_source_v1;
struct zwlr_data_control_offer_v1;
struct zxdg_output_manager_v1;
class QSocketNotifier;

namespace plinthora::linux_platform {

class WaylandDisplay : public QObject {
    Q_OBJECT
public:
    // One output as the compositor describes it.
    struct Output {
        std::string name;
        int x = 0, y = 0;  // its place on the desktop, in logical units
        // The current mode turned as the output is (a quarter turn swaps
        // them): the pixels a screenshot of this output has.
        int pixelWidth = 0, pixelHeight = 0;
        int scale = 1;
    };

    // Null when no compositor answers at $WAYLAND_DISPLAY. Must be made on
    // the thread that runs the event loop (the main thread).
    static std::unique_ptr<WaylandDisplay> connect();
    ~WaylandDisplay() override;

    // Whether the compositor offers data control (and a seat to use it on).
    bool hasDataControl() const { return manager_ && device_; }
    // Makes these bytes the clipboard's contents under their MIME types;
    // false when the connection is gone or the compositor has no data
    // control. The bytes are served from this process while it owns the
    // selection.
    bool setSelection(std::map<std::string, std::shared_ptr<const std::string>> contents);
    // Whether one of our selections is on the clipboard right now.
    bool ownsSelection() const { return source_ != nullptr; }

    // The outputs known so far, in the order the compositor announced them.
    std::vector<Output> outputs() const;
    // False once the compositor closed the connection or it failed.
    bool alive() const;

signals:
    // An output came, went or changed its mode, turn or scale.
    void outputsChanged();

private:
    struct OutputState;
    explicit WaylandDisplay(wl_display* display);

    static void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version);
    static void onGlobalRemove(void* data, wl_registry* registry, uint32_t name);
    static void onSend(void* data, zwlr_data_control_source_v1* source, const char* mimeType, int32_t fd);
    static void onCancelled(void* data, zwlr_data_control_source_v1* source);
    static void onDataOffer(void* data, zwlr_data_control_device_v1* device, zwlr_data_control_offer_v1* offer);
    static void onSelection(void* data, zwlr_data_control_device_v1* device, zwlr_data_control_offer_v1* offer);
    static void onFinished(void* data, zwlr_data_control_device_v1* device);
    void dropOffersBut(zwlr_data_control_offer_v1* keep);
    void placeOutput(OutputState& output);
    void dispatch();
    void flush();
    void serve(int fd, std::shared_ptr<const std::string> bytes);

    wl_display* display_;
    wl_registry* registry_ = nullptr;
    wl_seat* seat_ = nullptr;
    zwlr_data_control_manager_v1* manager_ = nullptr;
    zxdg_output_manager_v1* placement_ = nullptr;
    zwlr_data_control_device_v1* device_ = nullptr;
    zwlr_data_control_source_v1* source_ = nullptr;
    std::map<std::string, std::shared_ptr<const std::string>> contents_;
    std::vector<zwlr_data_control_offer_v1*> offers_;  // others' selections, unused
    std::vector<std::unique_ptr<OutputState>> outputs_;
    QSocketNotifier* notifier_ = nullptr;
    bool failed_ = false;
};

}  // namespace plinthora::linux_platform
