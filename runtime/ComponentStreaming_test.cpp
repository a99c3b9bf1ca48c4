#include "runtime/ComponentStreaming.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/Stream.h"

namespace tw {
namespace {

// A component with the kinds of properties the audio objects publish: a
// number with a default, a text stored only when set, and binary data.
class TSampleComponent : public TComponent {
 public:
  explicit TSampleComponent(TComponent* Owner = nullptr) : TComponent(Owner) {}
  const char* ClassName() const override { return "TSampleComponent"; }

  void GetPublishedProperties(std::vector<TPublishedProperty>& Properties) override {
    TComponent::GetPublishedProperties(Properties);
    Properties.push_back({"Level", [this] { return std::to_string(Level); },
                          [this](const std::string& v) {
                            size_t used = 0;
                            Level = std::stoi(v, &used);
                            if (used != v.size()) throw EConvertError("not a number");
                          },
                          [this] { return Level != 75; }});
    Properties.push_back({"Caption", [this] { return Caption; },
                          [this](const std::string& v) { Caption = v; },
                          [this] { return CaptionStored; }});
    Properties.push_back(
        {"Options", [this] { return Options; }, [this](const std::string& v) { Options = v; }});
  }
  void DefineProperties(std::vector<TBinaryProperty>& Properties) override {
    Properties.push_back(
        {"Data",
         [this](TStream& s) { s.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size())); },
         [this](TStream& s) {
           Data.assign(static_cast<size_t>(s.Size()), 0);
           s.ReadBuffer(Data.data(), static_cast<int64_t>(Data.size()));
         },
         [this] { return !Data.empty(); }});
  }

  int Level = 75;
  std::string Caption;
  bool CaptionStored = false;
  std::string Options = "[]";
  std::vector<uint8_t> Data;
};

TEST(ComponentStreaming, WritesStoredPropertiesAndDataInTheDocumentedForm) {
  TSampleComponent c;
  c.SetName("Player1");
  c.SetTag(-3);
  c.Level = 50;
  c.Options = "[woSetVolume, woSetPitch]";
  for (int i = 0; i < 40; ++i) c.Data.push_back(static_cast<uint8_t>(i * 7));
  EXPECT_EQ(ComponentToText(c),
            "object Player1: TSampleComponent\n"
            "  Tag = -3\n"
            "  Level = 50\n"
            "  Options = [woSetVolume, woSetPitch]\n"
            "  Data = {\n"
            "    00070E151C232A31383F464D545B626970777E858C939AA1A8AFB6BDC4CBD2D9\n"
            "    E0E7EEF5FC030A11\n"
            "  }\n"
            "end\n");

  TSampleComponent empty;
  EXPECT_EQ(ComponentToText(empty), "object TSampleComponent\n  Options = []\nend\n");
}

TEST(ComponentStreaming, ReadingBackGivesTheSameSettingsAndBytes) {
  TSampleComponent c;
  c.SetName("Tone_2");
  c.SetTag(7);
  c.Level = 0;
  c.CaptionStored = true;
  c.Caption = "it's \"quoted\"";
  for (int i = 0; i < 1000; ++i) c.Data.push_back(static_cast<uint8_t>(i * 31 + 5));
  TMemoryStream stream;
  WriteComponent(stream, c);
  stream.SetPosition(0);
  TSampleComponent back;
  ReadComponent(stream, back);
  EXPECT_EQ(back.Name(), "Tone_2");
  EXPECT_EQ(back.Tag(), 7);
  EXPECT_EQ(back.Level, 0);
  EXPECT_EQ(back.Caption, c.Caption);
  EXPECT_EQ(back.Data, c.Data);
  EXPECT_EQ(stream.Position(), stream.Size());
  back.CaptionStored = true;
  EXPECT_EQ(ComponentToText(back), ComponentToText(c));
}

TEST(ComponentStreaming, AnyTextSurvivesQuoting) {
  for (const std::string& text :
       {std::string(""), std::string(" leading"), std::string("trailing "), std::string("'"),
        std::string("#1"), std::string("{x"), std::string("two\nlines\r\n"),
        std::string("tab\there"), std::string("\x01\x7F"), std::string("a = b"),
        std::string("caf\xC3\xA9")}) {
    TSampleComponent c;
    c.CaptionStored = true;
    c.Caption = text;
    const std::string written = ComponentToText(c);
    TSampleComponent back;
    back.Caption = "unchanged";
    ComponentFromText(written, back);
    EXPECT_EQ(back.Caption, text) << written;
  }
  TSampleComponent c;
  c.CaptionStored = true;
  c.Caption = "two\nit's";
  EXPECT_NE(ComponentToText(c).find("  Caption = 'two'#10'it''s'\n"), std::string::npos);
}

TEST(ComponentStreaming, NamesThatAreNotIdentifiersAreQuoted) {
  TSampleComponent c;
  c.SetName("my: player");
  const std::string text = ComponentToText(c);
  EXPECT_EQ(text.substr(0, text.find('\n')), "object 'my: player': TSampleComponent");
  TSampleComponent back;
  ComponentFromText(text, back);
  EXPECT_EQ(back.Name(), "my: player");
}

TEST(ComponentStreaming, ReadsOneObjectAndLeavesTheStreamAfterIt) {
  TSampleComponent a, b;
  a.Level = 1;
  b.Level = 2;
  TMemoryStream stream;
  WriteComponent(stream, a);
  WriteComponent(stream, b);
  stream.SetPosition(0);
  TSampleComponent x, y;
  ReadComponent(stream, x);
  ReadComponent(stream, y);
  EXPECT_EQ(x.Level, 1);
  EXPECT_EQ(y.Level, 2);
  // Indentation, blank lines and Windows line ends are accepted; absent properties keep their
  // values.
  TSampleComponent z;
  z.Level = 9;
  ComponentFromText(
      "\r\nobject  Z :TSampleComponent\r\n\r\nCaption='x'\r\n Data={\r\n0aFF\r\n}\r\nend", z);
  EXPECT_EQ(z.Name(), "Z");
  EXPECT_EQ(z.Level, 9);
  EXPECT_EQ(z.Caption, "x");
  EXPECT_EQ(z.Data, (std::vector<uint8_t>{0x0A, 0xFF}));
}

void ExpectReadError(const std::string& text, const std::string& part) {
  TSampleComponent c;
  try {
    ComponentFromText(text, c);
    ADD_FAILURE() << "read without error: " << text;
  } catch (const EComponentReadError& e) {
    EXPECT_STREQ(e.ClassName(), "EComponentReadError");
    EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
  }
}

TEST(ComponentStreaming, MalformedTextIsRefusedWithTheLineAndTheReason) {
  ExpectReadError("object TSampleComponent\n  Volume = 3\nend\n",
                  "(line 2): unknown property \"Volume\"");
  ExpectReadError("object A: TOther\nend\n", "holds a TOther, not a TSampleComponent");
  ExpectReadError("object TSampleComponent\n  Level = 5x\nend\n",
                  "invalid value \"5x\" for property Level");
  ExpectReadError("object TSampleComponent\n  Tag = many\nend\n", "property Tag");
  ExpectReadError("object TSampleComponent\n  Data = {\n    0G\n  }\nend\n", "not hexadecimal");
  ExpectReadError("object TSampleComponent\n  Data = {\n    ABC\n  }\nend\n", "odd number");
  ExpectReadError("object TSampleComponent\n  Data = {\n    AB\n", "\"}\" is missing");
  ExpectReadError("object TSampleComponent\n  Level = 5\n", "\"end\" is missing");
  ExpectReadError("object TSampleComponent\n  Caption = 'open\nend\n", "not closed");
  ExpectReadError("object TSampleComponent\n  Level\nend\n", "\"NAME = VALUE\" expected");
  ExpectReadError("thing TSampleComponent\nend\n", "\"object\" expected");
  ExpectReadError("", "holds no object");
  ExpectReadError("object TSampleComponent\n  Blob = {\n  }\nend\n", "unknown binary property");
}

}  // namespace
}  // namespace tw
