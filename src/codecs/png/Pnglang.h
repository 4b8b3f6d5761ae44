#pragma once
// The message texts of the PNG unit, word for word as users have always seen them.

namespace vellicor::pnglang {

inline constexpr const char* EPngInvalidCRCText =
    "This \"Portable Network Graphics\" image is not valid because it contains invalid pieces of data (crc error)";
inline constexpr const char* EPNGInvalidIHDRText =
    "The \"Portable Network Graphics\" image could not be loaded because one of its main piece of data (ihdr) might be corrupted";
inline constexpr const char* EPNGMissingMultipleIDATText =
    "This \"Portable Network Graphics\" image is invalid because it has missing image parts.";
inline constexpr const char* EPNGZLIBErrorText =
    "Could not decompress the image because it contains invalid compressed data.\r\n Description: ";
inline constexpr const char* EPNGInvalidPaletteText =
    "The \"Portable Network Graphics\" image contains an invalid palette.";
inline constexpr const char* EPNGInvalidFileHeaderText =
    "The file being readed is not a valid \"Portable Network Graphics\" image because it contains an invalid header. "
    "This file may be corruped, try obtaining it again.";
inline constexpr const char* EPNGIHDRNotFirstText =
    "This \"Portable Network Graphics\" image is not supported or it might be invalid.\r\n(IHDR chunk is not the first)";
inline constexpr const char* EPNGNotExistsText =
    "The png file could not be loaded because it does not exists.";
inline constexpr const char* EPNGSizeExceedsText =
    "This \"Portable Network Graphics\" image is not supported because either it's width or height exceeds the "
    "maximum size, which is 65535 pixels length.";
inline constexpr const char* EPNGUnknownPalEntryText = "There is no such palette entry.";
inline constexpr const char* EPNGMissingPaletteText =
    "This \"Portable Network Graphics\" could not be loaded because it uses a color table which is missing.";
inline constexpr const char* EPNGUnknownCriticalChunkText =
    "This \"Portable Network Graphics\" image contains an unknown critical part which could not be decoded.";
inline constexpr const char* EPNGUnknownCompressionText =
    "This \"Portable Network Graphics\" image is encoded with an unknown compression scheme which could not be decoded.";
inline constexpr const char* EPNGUnknownInterlaceText =
    "This \"Portable Network Graphics\" image uses an unknown interlace scheme which could not be decoded.";
inline constexpr const char* EPNGCannotAssignChunkText = "The chunks must be compatible to be assigned.";
inline constexpr const char* EPNGUnexpectedEndText =
    "This \"Portable Network Graphics\" image is invalid because the decoder found an unexpected end of the file.";
inline constexpr const char* EPNGNoImageDataText = "This \"Portable Network Graphics\" image contains no data.";
inline constexpr const char* EPNGCannotChangeSizeText =
    "The \"Portable Network Graphics\" image can not be resize by changing width and height properties. Try assigning "
    "the image from a bitmap.";
inline constexpr const char* EPNGCannotAddChunkText =
    "The program tried to add a existent critical chunk to the current image which is not allowed.";
inline constexpr const char* EPNGCannotAddInvalidImageText =
    "It's not allowed to add a new chunk because the current image is invalid.";
inline constexpr const char* EPNGCouldNotLoadResourceText = "The png image could not be loaded from the resource ID.";
inline constexpr const char* EPNGOutMemoryText =
    "Some operation could not be performed because the system is out of resources. Close some windows and try again.";
inline constexpr const char* EPNGCannotChangeTransparentText =
    "Setting bit transparency color is not allowed for png images containing alpha value for each pixel "
    "(COLOR_RGBALPHA and COLOR_GRAYSCALEALPHA)";
inline constexpr const char* EPNGHeaderNotPresentText =
    "This operation is not valid because the current image contains no valid header.";
inline constexpr const char* EPNGAlphaNotSupportedText =
    "The current \"Portable Network Graphics\" image color type either contains already alpha information or it can "
    "not be converted.";

}  // namespace vellicor::pnglang
