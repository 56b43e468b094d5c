// A FRU image decoded whole; the first byte picks whether the length is
// given (and every area must lie inside it) or not.

#include <libkn/fru.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 1 || size > KN_FRU_IMAGE_BUFFER_SIZE)
    {
        return 0;
    }
    // Without a length the decoder reads as far as the areas say: give it
    // the whole image buffer it is made for.
    std::vector<uint8_t> image(KN_FRU_IMAGE_BUFFER_SIZE, 0);
    std::copy(data + 1, data + size, image.begin());
    int length = (data[0] & 1) ? static_cast<int>(size - 1) : 0;
    parse_bin_date(image.data(), length);
    return 0;
}
