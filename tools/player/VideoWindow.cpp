#include "VideoWindow.h"

#include <stdexcept>

#include <SDL_syswm.h>

namespace Quillet::Player {

VideoWindow::VideoWindow(const std::string& title, int width, int height)
    : _shapeWidth(width), _shapeHeight(height), _title(title)
{
    _window = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, width, height,
                               SDL_WINDOW_RESIZABLE);
    if (!_window)
        throw std::runtime_error(std::string("Cannot create the window: ") + SDL_GetError());
    // No vsync: the player decides when a picture is due, not the display.
    _renderer = SDL_CreateRenderer(_window, -1, 0);
    if (!_renderer) {
        SDL_DestroyWindow(_window);
        throw std::runtime_error(std::string("Cannot create the renderer: ") + SDL_GetError());
    }
    SDL_SetRenderDrawColor(_renderer, 0, 0, 0, 255);
    Redraw();
}

VideoWindow::~VideoWindow()
{
    if (_texture)
        SDL_DestroyTexture(_texture);
    SDL_DestroyRenderer(_renderer);
    SDL_DestroyWindow(_window);
}

void VideoWindow::Show(const uint8_t* rgb, int width, int height)
{
    if (!_texture || width != _textureWidth || height != _textureHeight) {
        // The stream changed size (or this is the first picture): a texture of the new size.
        if (_texture)
            SDL_DestroyTexture(_texture);
        _texture = SDL_CreateTexture(_renderer, SDL_PIXELFORMAT_RGB24, SDL_TEXTUREACCESS_STREAMING, width, height);
        if (!_texture)
            throw std::runtime_error(std::string("Cannot create the texture: ") + SDL_GetError());
        _textureWidth = width;
        _textureHeight = height;
    }
    SDL_UpdateTexture(_texture, nullptr, rgb, width * 3);
    Redraw();
}

void VideoWindow::Redraw()
{
    SDL_RenderClear(_renderer);
    if (_texture) {
        const SDL_Rect target = FitPicture();
        SDL_RenderCopy(_renderer, _texture, nullptr, &target);
    }
    SDL_RenderPresent(_renderer);
}

void VideoWindow::SetTitle(const std::string& title)
{
    if (title == _title)
        return;
    _title = title;
    SDL_SetWindowTitle(_window, title.c_str());
}

unsigned long VideoWindow::X11Id() const
{
#if defined(SDL_VIDEO_DRIVER_X11)
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWindowWMInfo(_window, &info) && info.subsystem == SDL_SYSWM_X11)
        return static_cast<unsigned long>(info.info.x11.window);
#endif
    return 0;
}

SDL_Rect VideoWindow::FitPicture() const
{
    int w = 0, h = 0;
    SDL_GetRendererOutputSize(_renderer, &w, &h);
    if (_shapeWidth <= 0 || _shapeHeight <= 0 || w <= 0 || h <= 0)
        return SDL_Rect{0, 0, w, h};
    // The largest rectangle of the picture's shape that fits, centred.
    int fitW = w;
    int fitH = static_cast<int>(static_cast<long long>(w) * _shapeHeight / _shapeWidth);
    if (fitH > h) {
        fitH = h;
        fitW = static_cast<int>(static_cast<long long>(h) * _shapeWidth / _shapeHeight);
    }
    return SDL_Rect{(w - fitW) / 2, (h - fitH) / 2, fitW, fitH};
}

} // namespace Quillet::Player
