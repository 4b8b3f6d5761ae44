#pragma once
// libpng as an outside opinion on PNG files, for tests and benchmarks only. The library is
// loaded at run time (libpng16.so.16), so nothing here needs it to build or to run;
// Available() says whether it was found.
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <dlfcn.h>

#if __has_include(<png.h>)
#include <png.h>
#define VELLICOR_HAVE_PNG_H 1
#endif

namespace vellicor::test {

struct LibpngImage {
    int width = 0, height = 0;
    bool hasGamma = false;
    // Four bytes per pixel, top row first: blue, green, red, alpha.
    std::vector<uint8_t> bgra;
    // Three bytes per pixel (blue, green, red), when decoded for speed.
    std::vector<uint8_t> bgr;
};

#ifdef VELLICOR_HAVE_PNG_H
class Libpng {
public:
    static Libpng& Get() {
        static Libpng lib;
        return lib;
    }
    bool Available() const { return ok_; }

    // Samples as the reader shows them: palette and low depths expanded, 16-bit samples cut
    // to their high byte, and with a gAMA chunk the colour channels corrected for a display
    // gamma of 2.2; alpha as stored. With bgrOnly the alpha is dropped (no filler), as a
    // page without transparency needs; with overWhite too it is composed over white by
    // libpng, as a page shows it. False when libpng refuses the file.
    bool Decode(const std::string& file, LibpngImage& out, bool bgrOnly = false, bool overWhite = false) {
        const size_t bpp = bgrOnly ? 3 : 4;
        std::vector<uint8_t>& pixels = bgrOnly ? out.bgr : out.bgra;
        return DecodeInto(
            file,
            [&](int w, int h, size_t& stride) {
                out.width = w;
                out.height = h;
                stride = size_t(w) * bpp;
                pixels.resize(stride * size_t(h));
                return pixels.data();
            },
            bgrOnly, overWhite, &out.hasGamma);
    }

    // As Decode, into rows the caller provides: dest(width, height, stride) returns the first
    // row and sets the distance between rows (benchmarks give both decoders the same memory).
    template <class Dest>
    bool DecodeInto(const std::string& file, Dest&& dest, bool bgrOnly = false, bool overWhite = false,
                    bool* hasGamma = nullptr) {
        if (!ok_) return false;
        Source src{reinterpret_cast<const uint8_t*>(file.data()), file.size(), 0};
        png_structp png = create_read_struct_(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        if (!png) return false;
        png_infop info = create_info_struct_(png);
        std::vector<png_bytep>& rows = rows_;
        if (!info || setjmp(*set_longjmp_fn_(png, longjmp, sizeof(jmp_buf)))) {
            destroy_read_struct_(&png, &info, nullptr);
            return false;
        }
        set_read_fn_(png, &src, &ReadData);
        read_info_(png, info);
        png_uint_32 w = 0, h = 0;
        int depth = 0, colorType = 0, interlace = 0;
        get_IHDR_(png, info, &w, &h, &depth, &colorType, &interlace, nullptr, nullptr);
        set_expand_(png);
        set_strip_16_(png);
        set_gray_to_rgb_(png);
        set_bgr_(png);
        if (bgrOnly && overWhite) {
            png_color_16 white{0, 255, 255, 255, 255};
            set_background_fixed_(png, &white, PNG_BACKGROUND_GAMMA_SCREEN, 0, PNG_FP_1);
        } else if (bgrOnly) {
            set_strip_alpha_(png);
        }
        else set_filler_(png, 0xFF, PNG_FILLER_AFTER);
        png_fixed_point g = 0;
        const bool gamma = get_gAMA_fixed_(png, info, &g) != 0 && g != 0;
        if (hasGamma) *hasGamma = gamma;
        if (gamma) set_gamma_(png, 2.2, g / 100000.0);
        set_interlace_handling_(png);
        read_update_info_(png, info);
        size_t stride = 0;
        uint8_t* first = dest(int(w), int(h), stride);
        if (!first) {
            destroy_read_struct_(&png, &info, nullptr);
            return false;
        }
        rows.resize(h);
        for (png_uint_32 y = 0; y < h; ++y) rows[y] = first + size_t(y) * stride;
        read_image_(png, rows.data());
        read_end_(png, nullptr);
        destroy_read_struct_(&png, &info, nullptr);
        return true;
    }

private:
    struct Source {
        const uint8_t* data;
        size_t size, pos;
    };
    static void ReadData(png_structp png, png_bytep out, size_t n) {
        auto* s = static_cast<Source*>(Get().get_io_ptr_(png));
        if (n > s->size - s->pos) Get().error_(png, "read past the end");
        std::memcpy(out, s->data + s->pos, n);
        s->pos += n;
    }

    template <class F>
    void Bind(F& f, const char* name) {
        f = reinterpret_cast<F>(dlsym(lib_, name));
        if (!f) ok_ = false;
    }

    Libpng() {
        lib_ = dlopen("libpng16.so.16", RTLD_NOW | RTLD_LOCAL);
        if (!lib_) return;
        ok_ = true;
        Bind(create_read_struct_, "png_create_read_struct");
        Bind(create_info_struct_, "png_create_info_struct");
        Bind(destroy_read_struct_, "png_destroy_read_struct");
        Bind(set_longjmp_fn_, "png_set_longjmp_fn");
        Bind(set_read_fn_, "png_set_read_fn");
        Bind(get_io_ptr_, "png_get_io_ptr");
        Bind(error_, "png_error");
        Bind(read_info_, "png_read_info");
        Bind(get_IHDR_, "png_get_IHDR");
        Bind(set_expand_, "png_set_expand");
        Bind(set_strip_16_, "png_set_strip_16");
        Bind(set_gray_to_rgb_, "png_set_gray_to_rgb");
        Bind(set_bgr_, "png_set_bgr");
        Bind(set_strip_alpha_, "png_set_strip_alpha");
        Bind(set_filler_, "png_set_filler");
        Bind(set_background_fixed_, "png_set_background_fixed");
        Bind(get_gAMA_fixed_, "png_get_gAMA_fixed");
        Bind(set_gamma_, "png_set_gamma");
        Bind(set_interlace_handling_, "png_set_interlace_handling");
        Bind(read_update_info_, "png_read_update_info");
        Bind(read_image_, "png_read_image");
        Bind(read_end_, "png_read_end");
    }

    void* lib_ = nullptr;
    bool ok_ = false;
    std::vector<png_bytep> rows_;
    decltype(&png_create_read_struct) create_read_struct_ = nullptr;
    decltype(&png_create_info_struct) create_info_struct_ = nullptr;
    decltype(&png_destroy_read_struct) destroy_read_struct_ = nullptr;
    decltype(&png_set_longjmp_fn) set_longjmp_fn_ = nullptr;
    decltype(&png_set_read_fn) set_read_fn_ = nullptr;
    decltype(&png_get_io_ptr) get_io_ptr_ = nullptr;
    decltype(&png_error) error_ = nullptr;
    decltype(&png_read_info) read_info_ = nullptr;
    decltype(&png_get_IHDR) get_IHDR_ = nullptr;
    decltype(&png_set_expand) set_expand_ = nullptr;
    decltype(&png_set_strip_16) set_strip_16_ = nullptr;
    decltype(&png_set_gray_to_rgb) set_gray_to_rgb_ = nullptr;
    decltype(&png_set_bgr) set_bgr_ = nullptr;
    decltype(&png_set_strip_alpha) set_strip_alpha_ = nullptr;
    decltype(&png_set_filler) set_filler_ = nullptr;
    decltype(&png_set_background_fixed) set_background_fixed_ = nullptr;
    decltype(&png_get_gAMA_fixed) get_gAMA_fixed_ = nullptr;
    decltype(&png_set_gamma) set_gamma_ = nullptr;
    decltype(&png_set_interlace_handling) set_interlace_handling_ = nullptr;
    decltype(&png_read_update_info) read_update_info_ = nullptr;
    decltype(&png_read_image) read_image_ = nullptr;
    decltype(&png_read_end) read_end_ = nullptr;
};
#else
class Libpng {
public:
    static Libpng& Get() {
        static Libpng lib;
        return lib;
    }
    bool Available() const { return false; }
    bool Decode(const std::string&, LibpngImage&, bool = false, bool = false) { return false; }
    template <class Dest>
    bool DecodeInto(const std::string&, Dest&&, bool = false, bool = false, bool* = nullptr) {
        return false;
    }
};
#endif

}  // namespace vellicor::test
