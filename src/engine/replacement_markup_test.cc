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
      {"default template", nullptr, R"(<A HREF="/offer/7"><IMG SRC="x.gif" ALT="Spring sale"></A>)",
       0, 0, "{Ad: <A  HREF='/offer/7'>Spring sale</A>}"},
      {"own letter case kept", nullptr, R"(<a href="/Offer/7"><img src=x alt="Spring Sale"></a>)",
       0, 0, "{Ad: <A  HREF='/Offer/7'>Spring Sale</A>}"},
      {"relative target: no server, unknown text", "%TEXT%|%SERVER%",
       R"(<A HREF="/x"><IMG SRC="a.gif"></A>)", 0, 0, "*Unknown*|&iquest;Server?"},
      {"server as text", "%TEXT%|%SERVER%",
       R"(<A HREF="http://Ads.Example.com:8080/x"><IMG SRC=a.gif></A>)", 0, 0,
       "Ads.Example.com|Ads.Example.com"},
      {"visible text", "%TEXT%", R"(<A HREF="/x">Click <B>here</B></A>)", 0, 0, "Click here"},
      {"ALT found inside the target is no ALT", "%TEXT%",
       R"(<A HREF="/salt/"><IMG SRC=x ALT="Sea">Salt</A>)", 0, 0, "Salt"},
      {"80 bytes kept whole", "%TEXT%", "<A HREF=/x><IMG ALT=\"" + a80 + "\"></A>", 0, 0, a80},
      {"81 bytes cut to 77 and dots", "%TEXT%", "<A HREF=/x><IMG ALT=\"" + b81 + "\"></A>", 0, 0,
       std::string(77, 'b') + "..."},
      {"%TEXT% in the text replaces nothing", "[%TEXT%]", R"(<A HREF=/x><IMG ALT="a%TEXT%b"></A>)",
       0, 0, "[%TEXT%]"},
      {"self-rejoining placeholder ends", "%%TEXT%", R"(<A HREF=/x><IMG ALT="TEXT%%TEXT"></A>)", 0,
       0, "%TEXT%%TEXT"},
      {"lower-case template untouched", "<A %href%>%text%</A>", R"(<A HREF="/x">y</A>)", 60, 468,
       "<A %href%>%text%</A>"},
      {"empty template", "", R"(<A HREF="/x">y</A>)", 60, 468, ""},
      {"sizes", "<IMG%HEIGHT%%WIDTH%>", "<A HREF=/x>y</A>", 60, 468, "<IMG HEIGHT=60 WIDTH=468>"},
      {"no sizes: placeholders stay", "<IMG%HEIGHT%%WIDTH%>", "<A HREF=/x>y</A>", 0, -5,
       "<IMG%HEIGHT%%WIDTH%>"},
      {"target with a single quote goes in double quotes", "<A%HREF%>", R"(<A HREF="/it's">y</A>)",
       0, 0, "<A HREF=\"/it's\">"},
      {"target with both quotes is dropped", "<A%HREF%>%SERVER%",
       R"(<A HREF=http://h.example/a"b'c>y</A>)", 0, 0, "<A>h.example"},
      {"target mentioning write is dropped, server kept", "<A%HREF%>%TEXT%",
       R"(<A HREF="http://WriteMe.example/"><IMG SRC=x></A>)", 0, 0, "<A>WriteMe.example"},
      {"applet: no target, text between the tags", nullptr,
       R"(<APPLET CODE="Ad.class" WIDTH=468 HEIGHT=60>Buy now</APPLET>)", 60, 468,
       "{Ad: <A >Buy now</A>}"},
      {"absent attributes become empty", "[%ALIGN%%ID%%CLASS%%VSPACE%%HSPACE%]",
       "<A HREF=/x><IMG SRC=y></A>", 0, 0, "[]"},
      {"attributes", "<IMG%ALIGN%%ID%%CLASS%%VSPACE%%HSPACE%>",
       "<A HREF=/x><IMG ALIGN=left ID=\"b1\" CLASS='ad big' VSPACE=5 HSPACE=\"7\"></A>", 0, 0,
       "<IMG ALIGN='left' ID='b1' CLASS='ad big' VSPACE=5 HSPACE=7>"},
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

TEST_F(ReplacementMarkupTest, DirectoryFillsTheTemplateNotThePageText) {
  SetText("InstallDir", "C:\\Velquor");
  SetText("ReplaceHtml", "<IMG SRC=\"%DIR%\\ad.gif\" ALT=\"%TEXT%\">");
  EXPECT_EQ(BuildReplacementMarkup(R"(<A HREF=/x><IMG ALT="see %DIR%"></A>)", 0, 0),
            "<IMG SRC=\"C:\\Velquor\\ad.gif\" ALT=\"see %DIR%\">");
  DeleteSetting("InstallDir");
  EXPECT_EQ(BuildReplacementMarkup(R"(<A HREF=/x><IMG ALT="see %DIR%"></A>)", 0, 0),
            "<IMG SRC=\"\\ad.gif\" ALT=\"see %DIR%\">");
}

// A value taken from the page is inserted as it stands: a placeholder written
// into it is not filled in by a later step, and none is formed where it meets
// the template's text. Otherwise a page could move one attribute's text into
// another context and out of its quotes.
TEST_F(ReplacementMarkupTest, PageValuesAreNeverExpandedAgain) {
  SetText("InstallDir", "D");
  struct Case {
    const char* name;
    const char* replace_html;  // null: the default template
    std::string segment;
    std::string expected;
  } cases[] = {
      {"text placeholder inside the target", nullptr,
       R"x(<A HREF="http://ads.example/ad/%TEXT%"><IMG ALT="x' onmouseover='alert(1)"></A>)x",
       "{Ad: <A  HREF='http://ads.example/ad/%TEXT%'>x' onmouseover='alert(1)</A>}"},
      {"spacing placeholder inside the text", nullptr,
       R"(<A HREF="/x"><IMG ALT="%HSPACE%" HSPACE="<script>alert(1)</script>"></A>)",
       "{Ad: <A  HREF='/x'>%HSPACE%</A>}"},
      {"no placeholder across a value's edge", "%TEXT%DIR%", R"(<A HREF=/x><IMG ALT="x%"></A>)",
       "x%DIR%"},
      {"value holding its own placeholder still replaces nothing", "[%TEXT%|%DIR%]",
       R"(<A HREF=/x><IMG ALT="a%TEXT%b"></A>)", "[%TEXT%|D]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.replace_html) {
      SetText("ReplaceHtml", c.replace_html);
    } else {
      DeleteSetting("ReplaceHtml");
    }
    EXPECT_EQ(BuildReplacementMarkup(c.segment, 0, 0), c.expected);
  }
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
      {"vspace with a space", R"x(<A HREF=/x><IMG VSPACE="5 onload=alert(1)"></A>)x", "<P%VSPACE%>",
       "<P VSPACE='5 onload=alert(1)'>"},
      {"hspace with quote and equals", R"(<A HREF=/x><IMG HSPACE="a'b=c"></A>)", "<P%HSPACE%>",
       "<P HSPACE='a&#39;b=c'>"},
      {"vspace with a backtick", "<A HREF=/x><IMG VSPACE=\"`x`\"></A>", "<P%VSPACE%>",
       "<P VSPACE='`x`'>"},
      {"vspace with a tag end", "<A HREF=/x><IMG VSPACE=\"1><b\"></A>", "<P%VSPACE%>",
       "<P VSPACE='1><b'>"},
      {"vspace with a line break", "<A HREF=/x><IMG VSPACE=\"1\nx\"></A>", "<P%VSPACE%>",
       "<P VSPACE='1\nx'>"},
      {"text tags become entities", R"(<A HREF=/x><IMG ALT="<script>x</script>"></A>)", "%TEXT%",
       "&lt;script&gt;x&lt;/script&gt;"},
      {"escaping after the cut", "<A HREF=/x><IMG ALT=\"" + std::string(79, 'a') + "<\"></A>",
       "%TEXT%", std::string(79, 'a') + "&lt;"},
      {"cut drops a late tag", "<A HREF=/x><IMG ALT=\"" + std::string(78, 'a') + "<b>\"></A>",
       "%TEXT%", std::string(77, 'a') + "..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetText("ReplaceHtml", c.replace_html);
    EXPECT_EQ(BuildReplacementMarkup(c.segment, 0, 0), c.expected);
  }
}

// A target full of placeholders comes out as it went in: neither a long
// server name repeated at each of them nor a quadratic or endless
// substitution may blow a page up or stall the browser on it.
TEST_F(ReplacementMarkupTest, TargetFullOfPlaceholdersDoesNotGrow) {
  SetText("InstallDir", "D");
  SetText("ReplaceHtml", "<A%HREF%>%SERVER%");
  const std::string host = "http://" + std::string(200, 'h') + ".example/";
  for (const char* placeholder : {"%DIR%", "%SERVER%"}) {
    SCOPED_TRACE(placeholder);
    std::string target = host;
    while (target.size() < 90 * 1024) target += placeholder;
    const std::string markup = BuildReplacementMarkup("<A HREF=\"" + target + "\">x</A>", 0, 0);
    EXPECT_EQ(markup, "<A HREF='" + target + "'>" + std::string(200, 'h') + ".example");
  }
}

}  // namespace
}  // namespace velquor
