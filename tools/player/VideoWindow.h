#pragma once
// The picture window: packed 24-bit RGB pictures go into a streaming texture
// that is drawn letterboxed into the window.
#include <cstdint>
#include <string>

#include <SDL.h>

namespace Quillet::Player {

class VideoWindow {
public:
    // `width` x `height` is the picture's display size (pixels need not be
    // square); pictures keep that shape when the window is resized.
    // Throws std::runtime_error when SDL cannot make the window or renderer.
    VideoWindow(const std::string& title, int width, int height);
    ~VideoWindow();
    VideoWindow(const VideoWindow&) = delete;
    VideoWindow& operator=(const VideoWindow&) = delete;

    // Uploads one picture (width * 3 bytes a row) and draws it.
    void Show(const uint8_t* rgb, int width, int height);
    // Draws the last picture again (after the window was exposed or resized).
    void Redraw();
    void SetTitle(const std::string& title);
    // The window's X11 id (0 under another window system): a test driving
    // the player finds its window by it, not by a title another window may bear.
    unsigned long X11Id() const;

private:
    SDL_Rect FitPicture() const;

    SDL_Window* _window = nullptr;
    SDL_Renderer* _renderer = nullptr;
    SDL_Texture* _texture = nullptr;
    int _textureWidth = 0;
    int _textureHeight = 0;
    int _shapeWidth;
    int _shapeHeight;
    std::string _title;
};

} // namespace Quillet::Player
