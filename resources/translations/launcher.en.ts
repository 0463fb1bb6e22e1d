<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="en_US">
<context>
    <name>launcher</name>
    <message id="launcher.about.title">
        <source>About Torvane Online</source>
        <translation>About Torvane Online</translation>
    </message>
    <message id="launcher.about.text">
        <source>Torvane Online launcher</source>
        <comment>%1: first year, %2: current year, %3 and %4: address of the LGPL v3 text, %5 and %6: address of the Qt base source repository</comment>
        <translation>&lt;p&gt;&lt;b&gt;Torvane Online&lt;/b&gt; launcher&lt;/p&gt;&lt;p&gt;Copyright &amp;copy; %1&amp;ndash;%2 Halvern GmbH. All rights reserved.&lt;/p&gt;&lt;p&gt;This launcher uses the Qt libraries under the GNU Lesser General Public License version 3: &lt;a href=&quot;%3&quot;&gt;%4&lt;/a&gt;&lt;/p&gt;&lt;p&gt;The source code of the Qt libraries is available at &lt;a href=&quot;%5&quot;&gt;%6&lt;/a&gt;&lt;/p&gt;</translation>
    </message>
</context>
</TS>
