// Golden bytes shared by the MP4 tests.
#pragma once

// The movie box payload for one keyframe sample: time 0, last duration 333,333, size 100, sps
// 67 4D 40 1F, pps 68; the chunk offset is left out (the last four bytes of "stco").
inline const char* kOneSampleMoovWithoutOffset =
    "00 00 00 6C 'mvhd' z4 z4 z4 00 01 5F 90 00 00 0B B7 00 01 00 00 01 00 z10"
    "  00 01 00 00 z4 z4 z4 00 01 00 00 z4 z4 z4 40 00 00 00 z24 00 00 00 02"
    " 00 00 01 F3 'trak'"
    "  00 00 00 5C 'tkhd' 00 00 00 03 z4 z4 00 00 00 01 z4 00 00 0B B7 z8 00 00 00 00 00 00 00 00"
    "   00 01 00 00 z4 z4 z4 00 01 00 00 z4 z4 z4 40 00 00 00 05 00 00 00 02 D0 00 00"
    "  00 00 01 8F 'mdia'"
    "   00 00 00 20 'mdhd' z4 z4 z4 00 01 5F 90 00 00 0B B7 55 C4 00 00"
    "   00 00 00 2D 'hdlr' z4 z4 'vide' z12 'VideoHandler' 00"
    "   00 00 01 3A 'minf'"
    "    00 00 00 14 'vmhd' 00 00 00 01 00 00 z6"
    "    00 00 00 24 'dinf' 00 00 00 1C 'dref' z4 00 00 00 01 00 00 00 0C 'url' 20 00 00 00 01"
    "    00 00 00 FA 'stbl'"
    "     00 00 00 7E 'stsd' z4 00 00 00 01"
    "      00 00 00 6E 'avc1' z6 00 01 z16 05 00 02 D0 00 48 00 00 00 48 00 00 z4 00 01 z32 00 18 FF FF"
    "       00 00 00 18 'avcC' 01 4D 40 1F FF E1 00 04 67 4D 40 1F 01 00 01 68"
    "     00 00 00 18 'stts' z4 00 00 00 01 00 00 00 01 00 00 0B B7"
    "     00 00 00 14 'stss' z4 00 00 00 01 00 00 00 01"
    "     00 00 00 1C 'stsc' z4 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00 01"
    "     00 00 00 18 'stsz' z4 z4 00 00 00 01 00 00 00 64"
    "     00 00 00 14 'stco' z4 00 00 00 01 ";
