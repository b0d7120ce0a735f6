{ A Pascal host on talvo.pas, run by test_hosts.py against the software
  terminal: it calls every family of exports and prints what it got as
  name=value lines; the test compares them and the request frames the
  terminal received.  Usage: host_test STORE }
program host_test;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}

uses
  talvo;

procedure Put(const Name, Value: AnsiString);
begin
  WriteLn(Name, '=', Value);
end;

function I2S(Value: Int64): AnsiString;
begin
  Str(Value, Result);
end;

function F2S(Value: Double): AnsiString;
begin
  Str(Value:0:2, Result);
end;

function Z2S(P: PAnsiChar): AnsiString;
begin
  Result := AnsiString(P);
end;

var
  Text: array[0..63] of AnsiChar;
  Amount, Total: Single;
  Entries: TTalvoStrings;
  Prices: TTalvoPrices;
  MenuIn: array[0..1] of Single;
  Flags: TTalvoKeyFlags;
  Zones: TTalvoSlots;
  Reason: TTalvoReason;
  AttendTime: TTalvoAttendTime;
  Rec: TTalvoStoreRecord;
  Count, I: Integer;
  Mark: Word;
  Line: AnsiString;
  Store: AnsiString;
begin
  Store := ParamStr(1);
  Put('layout.StoreRecord', I2S(SizeOf(TTalvoStoreRecord)));
  Put('layout.StoreRecord.Amount', I2S(PtrUInt(@Rec.Amount) - PtrUInt(@Rec)));
  Put('layout.StoreRecord.DateText', I2S(PtrUInt(@Rec.DateText) - PtrUInt(@Rec)));
  Put('layout.StoreRecord.TimeText', I2S(PtrUInt(@Rec.TimeText) - PtrUInt(@Rec)));
  Put('layout.StoreRecord.SecondAmount', I2S(PtrUInt(@Rec.SecondAmount) - PtrUInt(@Rec)));
  Put('layout.slots', I2S(SizeOf(TTalvoSlots)));

  IsFileExist(Text);
  Put('identify', Z2S(Text));
  Put('error.start', I2S(GetError));

  { Status and parameters. }
  Put('InqStat', I2S(InqStat(1)));
  Put('ClearRAM', I2S(ClearRAM(1)));
  Put('Setcmw', I2S(Setcmw(1, 'ABC')));
  FillChar(Text, SizeOf(Text), 0);
  Put('ReadCMW', I2S(ReadCMW(1, Text)));
  Put('cmw', Z2S(Text));
  Put('Setmdeb', I2S(Setmdeb(1, 1234.56)));
  Amount := 0;
  Put('Readmdeb', I2S(Readmdeb(1, Amount)));
  Put('mdeb', F2S(Amount));

  { Blacklist. }
  Put('AddHMD', I2S(AddHMD(1, '123456654321')));
  Put('ReduHMD', I2S(ReduHMD(1, '123456')));
  Put('SetHMD', I2S(SetHMD(1, $0102, 'AAAAAABBBBBB', 2)));
  Put('ReadHMD', I2S(Ord(TalvoReadBlacklist(1, $0102, Entries))));
  Line := '';
  for I := 0 to High(Entries) do
  begin
    if I > 0 then Line := Line + ',';
    Line := Line + Entries[I];
  end;
  Put('blacklist', Line);
  Put('ClearHMD', I2S(ClearHMD(1)));

  { Card key. }
  Put('CheckKey.default', I2S(CheckKey(1, 0, 0, '740258')));
  Put('SetKey', I2S(SetKey(1, 0, 0, 'a1b2c3')));
  Put('CheckKey.wrong', I2S(CheckKey(1, 0, 0, '000000')));
  Put('error.refusal', I2S(GetError));
  Put('Inqkey', I2S(Inqkey(1, Flags)));
  Put('flags', I2S(Flags[0]) + ',' + I2S(Flags[1]) + ',' + I2S(Flags[2]) + ',' + I2S(Flags[3]));

  { Price menu. }
  MenuIn[0] := 12.5;
  MenuIn[1] := 1234.56;
  Put('Setmenu', I2S(Setmenu(1, @MenuIn[0], 2)));
  Put('ReadMenu', I2S(Ord(TalvoReadMenu(1, Prices))));
  Line := '';
  for I := 0 to High(Prices) do
  begin
    if I > 0 then Line := Line + ',';
    Line := Line + F2S(Prices[I]);
  end;
  Put('menu', Line);
  Put('Clearmenu', I2S(Clearmenu(1)));

  { Subsidy. }
  Put('ClearList', I2S(ClearList(1)));
  Put('SetMaxbt', I2S(SetMaxbt(1, 150.5)));
  Put('SetBtTime', I2S(SetBtTime(1, '0800')));
  Put('AddBtList', I2S(AddBtList(1, 258, 'AAAAAAAAAAAA')));

  { Clock, zones, lock. }
  Put('SetMachTime', I2S(SetMachTime(1, '2024/05/06 07:08')));
  FillChar(Text, SizeOf(Text), 0);
  Put('ReadMachTime', I2S(ReadMachTime(1, Text)));
  Put('clock', Z2S(Text));
  FillChar(Zones, SizeOf(Zones), 0);
  TalvoSetSlotText(Zones, 0, 0, '06:30');
  TalvoSetSlotText(Zones, 1, 0, '11:00');
  TalvoSetSlotText(Zones, 2, 0, '17:00');
  TalvoSetSlotText(Zones, 3, 0, '20:00');
  for I := 4 to 7 do TalvoSetSlotText(Zones, I, 0, '00:00');
  SetTimeZone(1, @Zones);
  Put('SetTimeZone', I2S(Ord(GetError = 0)));
  Put('ReadTimeZone', I2S(Ord(TalvoReadTimeZones(1, Zones))));
  Line := '';
  for I := 0 to 7 do
  begin
    if I > 0 then Line := Line + ',';
    Line := Line + TalvoSlotText(Zones, I, 0);
  end;
  Put('zones', Line);
  Put('BlockMach', I2S(BlockMach(1)));
  Put('UnBlockMach', I2S(UnBlockMach(1)));

  { Attendance terminal 2. }
  FillChar(Zones, SizeOf(Zones), 0);
  for I := 0 to 7 do
  begin
    TalvoSetSlotText(Zones, I, 0, '00:00');
    TalvoSetSlotText(Zones, I, 6, '00:00');
    TalvoSetSlotText(Zones, I, 12, '00');
  end;
  TalvoSetSlotText(Zones, 0, 0, '08:00');
  TalvoSetSlotText(Zones, 0, 6, '12:00');
  TalvoSetSlotText(Zones, 0, 12, '01');
  TalvoSetSlotText(Zones, 1, 0, '13:00');
  TalvoSetSlotText(Zones, 1, 6, '17:30');
  TalvoSetSlotText(Zones, 1, 12, '02');
  SetAttendTimeZone(2, @Zones);
  Put('SetAttendTimeZone', I2S(Ord(GetError = 0)));
  Put('ReadAttendTimeZone', I2S(Ord(TalvoReadAttendTimeZones(2, Zones))));
  Line := '';
  for I := 0 to 7 do
  begin
    if I > 0 then Line := Line + ',';
    Line := Line + TalvoSlotText(Zones, I, 0) + '-' + TalvoSlotText(Zones, I, 6) + '/' + TalvoSlotText(Zones, I, 12);
  end;
  Put('azones', Line);
  Reason := TalvoReason('AB');
  Put('SetAttendReason', I2S(SetAttendReason(2, 3, Reason)));
  FillChar(Text, SizeOf(Text), 0);
  Put('ReadAttendReason', I2S(ReadAttendReason(2, 3, Text)));
  Put('reason', Z2S(Text));
  Put('SetAttendTime', I2S(SetAttendTime(2, '20240506070809')));
  Put('ReadAttendTime', I2S(ReadAttendTime(2, AttendTime)));
  SetString(Line, PAnsiChar(@AttendTime[0]), 14);
  Put('aclock', Line);

  { Records. }
  Count := 0;
  Total := 0;
  Put('AutoReadJyzm', I2S(AutoReadJyzm(1, Count, Total, PAnsiChar(Store))));
  Put('collected', I2S(Count));
  Put('total', F2S(Total));
  Mark := 0;
  Put('Clearjyzm', I2S(Clearjyzm(1, 44, Mark)));
  Put('mark', I2S(Mark));
  FillChar(Rec, SizeOf(Rec), 0);
  SperateJyzmTxt('00123450341232240930005000BB', 5, Rec, 0);
  Put('decoded', Z2S(Rec.TerminalText) + '|' + Z2S(Rec.CardNumber) + '|' + Z2S(Rec.TypeText) + '|' + F2S(Rec.Amount)
      + '|' + Copy(Z2S(Rec.DateText), 5, 6) + '|' + Z2S(Rec.TimeText) + '|' + F2S(Rec.SecondAmount));

  { Module state. }
  SetFloatInStr(Text, '%7.2f', 12.5);
  Put('format', '[' + Z2S(Text) + ']');
  SetFloatInStr(Text, '%.1e', 1.5);
  Put('format.exponent', Z2S(Text));
  SetDisplayRecp(1);
  Put('display', I2S(GetDisplayRecp));
  SetDisplayRecp(0);

  { The library's own refusals: nothing is sent. }
  Put('ReduHMD.short', I2S(ReduHMD(1, '12345')));

  { A terminal that does not answer. }
  Put('InqStat.silent', I2S(InqStat(9)));
  Put('error.silent', I2S(GetError));
  Put('error.text', TalvoErrorText(GetError));
end.
