#include "engine/replacement_markup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "engine/judge_test_profile.h"

namespace velquor {
namespace {

class ReplacementMarkupTest : public test::ProfileTest {};

struct MarkupCase {
  const char* name;
  const char* replace_html;  // null: the setting is absent
  std::string segment;
  int32_t height;
  int32_t width;
  std::string expected;
};

TEST_F(ReplacementMarkupTest, FillsPlaceholdersWithFallbacks) {
  const std::string a80(80, 'a');
  const std::string b81 = std::string(77, 'b') + "cdef";
  const MarkupCase cases[] = {
      {"default template", nullptr,
       R"(<A HREF="/offer/7"><IMG SRC="x.gif" ALT="Spring sale"></A>)", 0, 0,
       "{Ad: <A  HREF='/offer/7'>Spring sale</A>}"},
      {"own letter case kept", nullptr,
       R"(<a href="/Offer/7"><img src=x alt="Spring Sale"></a>)", 0, 0,
       "{Ad: <A  HREF='/Offer/7'>Spring Sale</A>}"},
      {"relative target: no server, unknown text", "%TEXT%|%SERVER%",
       R"(<A HREF="/x"><IMG SRC="a.gif"></A>)", 0, 0, "*Unknown*|&iquest;Server?"},
      {"server as text", "%TEXT%|%SERVER%",
       R"(<A HREF="http://Ads.Example.com:8080/x"><IMG SRC=a.gif></A>)", 0, 0,
       "Ads.Example.com|Ads.Example.com"},
      {"visible text", "%TEXT%", R"(<A HREF="/x">Click <B>here</B></A>)", 0, 0,
       "Click here"},
      {"ALT found inside the target is no ALT", "%TEXT%",
       R"(<A HREF="/salt/"><IMG SRC=x ALT="Sea">Salt</A>)", 0, 0, "Salt"},
      {"80 bytes kept whole", "%TEXT%", "<A HREF=/x><IMG ALT=\"" + a80 + "\"></A>",
       0, 0, a80},
      {"81 bytes cut to 77 and dots", "%TEXT%",
       "<A HREF=/x><IMG ALT=\"" + b81 + "\"></A>", 0, 0, std::string(77, 'b') + "..."},
      {"%TEXT% in the text replaces nothing", "[%TEXT%]",
       R"(<A HREF=/x><IMG ALT="a%TEXT%b"></A>)", 0, 0, "[%TEXT%]"},
      {"self-rejoining placeholder ends", "%%TEXT%",
       R"(<A HREF=/x><IMG ALT="TEXT%%TEXT"></A>)", 0, 0, "%TEXT%%TEXT"},
      {"lower-case template untouched", "<A %href%>%text%</A>",
       R"(<A HREF="/x">y</A>)", 60, 468, "<A %href%>%text%</A>"},
      {"empty template", "", R"(<A HREF="/x">y</A>)", 60, 468, ""},
      {"sizes", "<IMG%HEIGHT%%WIDTH%>", "<A HREF=/x>y</A>", 60, 468,
       "<IMG HEIGHT=60 WIDTH=468>"},
      {"no sizes: placeholders stay", "<IMG%HEIGHT%%WIDTH%>", "<A HREF=/x>y</A>", 0,
       -5, "<IMG%HEIGHT%%WIDTH%>"},
      {"target with a single quote goes in double quotes", "<A%HREF%>",
       R"(<A HREF="/it's">y</A>)", 0, 0, "<A HREF=\"/it's\">"},
      {"target with both quotes is dropped", "<A%HREF%>%SERVER%",
       R"(<A HREF=http://h.example/a"b'c>y</A>)", 0, 0, "<A>h.example"},
      {"target mentioning write is dropped, server kept", "<A%HREF%>%TEXT%",
       R"(<A HREF="http://WriteMe.example/"><IMG SRC=x></A>)", 0, 0,
       "<A>WriteMe.example"},
      {"applet: no target, text between the tags", nullptr,
       R"(<APPLET CODE="Ad.class" WIDTH=468 HEIGHT=60>Buy now</APPLET>)", 60, 468,
       "{Ad: <A >Buy now</A>}"},
      {"absent attributes become empty", "[%ALIGN%%ID%%CLASS%%VSPACE%%HSPACE%]",
       "<A HREF=/x><IMG SRC=y></A>", 0, 0, "[]"},
      {"attributes", "<IMG%ALIGN%%ID%%CLASS%%VSPACE%%HSPACE%>",
       "<A HREF=/x><IMG ALIGN=left ID=\"b1\" CLASS='ad big' VSPACE=5 HSPACE=\"7\"></A>",
       0, 0, "<IMG ALIGN='left' ID='b1' CLASS='ad big' VSPACE=5 HSPACE=7>"},
  };
  for (const MarkupCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.replace_html) {
      SetText("ReplaceHtml", c.replace_html);
    } else {
      DeleteSetting("ReplaceHtml");
    }
    EXPECT_EQ(BuildReplacementMarkup(c.segment, c.height, c.width), c.expected);
  }
}

TEST_F(ReplacementMarkupTest, DirectoryFillsTemplateAndTextAlike) {
  SetText("InstallDir", "C:\\Velquor");
  SetText("ReplaceHtml", "<IMG SRC=\"%DIR%\\ad.gif\" ALT=\"%TEXT%\">");
  EXPECT_EQ(BuildReplacementMarkup(R"(<A HREF=/x><IMG ALT="see %DIR%"></A>)", 0, 0),
            "<IMG SRC=\"C:\\Velquor\\ad.gif\" ALT=\"see C:\\Velquor\">");
  DeleteSetting("InstallDir");
  EXPECT_EQ(BuildReplacementMarkup(R"(<A HREF=/x><IMG ALT="see %DIR%"></A>)", 0, 0),
            "<IMG SRC=\"\\ad.gif\" ALT=\"see \">");
}

TEST_F(ReplacementMarkupTest, TooLongTemplateFallsBackToDefault) {
  SetText("ReplaceHtml", std::string(1100, 'x'));
  EXPECT_EQ(BuildReplacementMarkup(R"(<A HREF="/o">Sale</A>)", 0, 0),
            "{Ad: <A  HREF='/o'>Sale</A>}");
}

// Values from the page must not escape the quotes of the markup: a forum that
// lets users write harmless attribute values must not get live handlers back.
TEST_F(ReplacementMarkupTest, PageValuesStayInsideTheirQuotes) {
  struct Case {
    const char* name;
    std::string segment;
    const char* replace_html;
    std::string expected;
  } cases[] = {
      {"align", R"x(<A HREF=/x><IMG ALIGN="x' onmouseover='alert(1)"></A>)x", "<P%ALIGN%>",
       "<P ALIGN='x&#39; onmouseover=&#39;alert(1)'>"},
      {"id", R"(<A HREF=/x><IMG ID="a'b"></A>)", "<P%ID%>", "<P ID='a&#39;b'>"},
      {"class", R"(<A HREF=/x><IMG CLASS="c' x='y"></A>)", "<P%CLASS%>",
       "<P CLASS='c&#39; x=&#39;y'>"},
      {"vspace with a space", R"x(<A HREF=/x><IMG VSPACE="5 onload=alert(1)"></A>)x",
       "<P%VSPACE%>", "<P VSPACE='5 onload=alert(1)'>"},
      {"hspace with quote and equals", R"(<A HREF=/x><IMG HSPACE="a'b=c"></A>)",
       "<P%HSPACE%>", "<P HSPACE='a&#39;b=c'>"},
      {"vspace with a backtick", "<A HREF=/x><IMG VSPACE=\"`x`\"></A>", "<P%VSPACE%>",
       "<P VSPACE='`x`'>"},
      {"vspace with a tag end", "<A HREF=/x><IMG VSPACE=\"1><b\"></A>", "<P%VSPACE%>",
       "<P VSPACE='1><b'>"},
      {"vspace with a line break", "<A HREF=/x><IMG VSPACE=\"1\nx\"></A>",
       "<P%VSPACE%>", "<P VSPACE='1\nx'>"},
      {"text tags become entities", R"(<A HREF=/x><IMG ALT="<script>x</script>"></A>)",
       "%TEXT%", "&lt;script&gt;x&lt;/script&gt;"},
      {"escaping after the cut", "<A HREF=/x><IMG ALT=\"" + std::string(79, 'a') +
                                     "<\"></A>",
       "%TEXT%", std::string(79, 'a') + "&lt;"},
      {"cut drops a late tag", "<A HREF=/x><IMG ALT=\"" + std::string(78, 'a') +
                                   "<b>\"></A>",
       "%TEXT%", std::string(77, 'a') + "..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetText("ReplaceHtml", c.replace_html);
    EXPECT_EQ(BuildReplacementMarkup(c.segment, 0, 0), c.expected);
  }
}

// A target full of placeholders is processed in one pass (a quadratic or
// endless substitution would stall the browser on such a page).
TEST_F(ReplacementMarkupTest, TargetFullOfPlaceholdersFinishes) {
  SetText("InstallDir", "D");
  SetText("ReplaceHtml", "<A%HREF%>");
  std::string target;
  while (target.size() < 500 * 1024) target += "%DIR%";
  const std::string markup =
      BuildReplacementMarkup("<A HREF=\"" + target + "\">x</A>", 0, 0);
  const std::size_t count = target.size() / 5;
  EXPECT_EQ(markup, "<A HREF='" + std::string(count, 'D') + "'>");
}

}  // namespace
}  // namespace velquor
