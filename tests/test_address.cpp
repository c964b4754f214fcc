// SPDX-License-Identifier: GPL-3.0-or-later
// Address notations: every notation writes and reads back every address of
// the four read functions; the texts at the edges are as users know them.
#include "AddressNotation.h"

#include <gtest/gtest.h>

using namespace zorp;

TEST(AddressNotation, EveryNotationRoundTripsForTheFourFunctions)
{
    for (const TAddressBase base : {TAddressBase::PlusOne, TAddressBase::Wire, TAddressBase::Modicon})
        for (const bool hex : {false, true})
            for (int function = 1; function <= 4; ++function)
                for (const int64_t address : {1, 2, 9999, 10000, 10001, 0x1A1, 65535, 65536}) {
                    const TAddressNotation n{base, hex};
                    const QString text = FormatAddress(address, function, n);
                    const TAddressText back = ParseAddress(text, function, n);
                    ASSERT_TRUE(back.Ok) << text.toStdString() << ": " << back.Error.toStdString();
                    EXPECT_EQ(back.Address, address) << text.toStdString();
                    EXPECT_EQ(NotationFromKey(NotationKey(n)), n);
                }
}

TEST(AddressNotation, TextsUsersKnow)
{
    struct Case {
        TAddressNotation n;
        int function;
        int64_t address;
        const char* text;
    };
    const Case cases[] = {
        {{TAddressBase::PlusOne, false}, 3, 1, "1"},
        {{TAddressBase::PlusOne, true}, 3, 0x1A1, "0x01A1"},
        {{TAddressBase::Wire, false}, 3, 1, "0"},
        {{TAddressBase::Wire, true}, 3, 65536, "0xFFFF"},
        {{TAddressBase::Modicon, false}, 1, 1, "00001"},
        {{TAddressBase::Modicon, false}, 2, 9999, "19999"},
        {{TAddressBase::Modicon, false}, 4, 10000, "310000"},
        {{TAddressBase::Modicon, false}, 3, 1, "40001"},
        {{TAddressBase::Modicon, false}, 3, 65536, "465536"},
        {{TAddressBase::Modicon, true}, 3, 65536, "410000"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatAddress(c.address, c.function, c.n), QString::fromLatin1(c.text));
        EXPECT_EQ(ParseAddress(QString::fromLatin1(c.text), c.function, c.n).Address, c.address) << c.text;
    }
}

TEST(AddressNotation, ExplicitHexAndRefusals)
{
    const TAddressNotation plus{}, wire{TAddressBase::Wire, false}, modicon{TAddressBase::Modicon, false};
    EXPECT_EQ(ParseAddress(u"0x1A0", 3, wire).Address, 0x1A1);
    EXPECT_EQ(ParseAddress(u"1A0h", 3, wire).Address, 0x1A1);
    EXPECT_EQ(ParseAddress(u"1a0H", 3, plus).Address, 0x1A0);
    EXPECT_EQ(ParseAddress(u"400001", 0, modicon).Table, 4);
    const std::pair<TAddressNotation, const char*> refused[] = {
        {plus, "0"}, {plus, "65537"}, {plus, "1A0"}, {plus, "-1"}, {plus, ""}, {wire, "65536"},
        {wire, "0x10000"}, {modicon, "40000"}, {modicon, "465537"}, {modicon, "30001"}, {modicon, "4001"},
        {modicon, "2000001"}, {modicon, "50001"},
    };
    for (const auto& [n, text] : refused) {
        const TAddressText r = ParseAddress(QString::fromLatin1(text), 3, n);
        EXPECT_FALSE(r.Ok) << text;
        EXPECT_FALSE(r.Error.isEmpty());
    }
    EXPECT_EQ(ParseAddress(u"30001", 3, modicon).Error, "\"30001\" names an input register, not a holding register");
}
