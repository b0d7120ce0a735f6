{ A host in Free Pascal's default mode, where Integer is 16 bits wide: the
  unit names the width of every argument, so calls with the host's own
  variables compile and reach the library intact.  Usage: default_mode STORE }
program default_mode;

uses
  talvo;

var
  Small: Integer;
  Count: LongInt;
  Total, Amount: Single;
  Flags: TTalvoKeyFlags;
  Entries: TTalvoStrings;
  Mark: Word;
  Path: AnsiString;
begin
  Small := 1;
  Path := ParamStr(1);
  WriteLn('InqStat=', InqStat(Small));
  WriteLn('Setmdeb=', Setmdeb(Small, 12.5));
  Amount := 0;
  WriteLn('Readmdeb=', Readmdeb(Small, Amount));
  WriteLn('mdeb=', Amount:0:2);
  WriteLn('Inqkey=', Inqkey(Small, Flags));
  WriteLn('flags=', Flags[0], ',', Flags[1], ',', Flags[2], ',', Flags[3]);
  WriteLn('AddHMD=', AddHMD(Small, '123456654321'));
  WriteLn('ReadHMD=', TalvoReadBlacklist(Small, 0, Entries));
  WriteLn('blacklist.count=', Length(Entries));
  Count := 0;
  Total := 0;
  WriteLn('AutoReadJyzm=', AutoReadJyzm(Small, Count, Total, PAnsiChar(Path)));
  WriteLn('collected=', Count);
  WriteLn('total=', Total:0:2);
  Mark := 0;
  WriteLn('Clearjyzm=', Clearjyzm(Small, 44, Mark));
  WriteLn('InqStat.silent=', InqStat(9));
  WriteLn('error.silent=', GetError);
end.
