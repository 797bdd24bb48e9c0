// What the settings bundle offers the program that loads it. Looked up by
// name with dlsym, so they are plain C entry points.
#pragma once

class QWidget;

extern "C" {
// A new controller of the named class, reading its resources from
// `bundlePath`; nullptr for a class the bundle does not have.
QWidget* PlinthoraPrefsCreateController(const char* className, const char* bundlePath);
// Tells open pickers that memory runs low.
void PlinthoraPrefsPostMemoryWarning();
// Taps the page's "shell" or "watermark" row and returns the picker window.
QWidget* PlinthoraPrefsOpenPicker(QWidget* controller, const char* which);
// Whether the picker's visible thumbnails have all been loaded.
bool PlinthoraPrefsPickerSettled(QWidget* pickerWindow);
}
